// Stage-1 luminance of the local operator: log luminance of RGBE, 16-bit and 8-bit sources into
// the work buffer in one pass, and the attenuation factor of the gradient magnitudes.
#include "tonemap/deredid_luminance.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <new>
#include <optional>
#include <vector>

#include "imagecore/banded.h"
#include "platform/checked_size.h"
#include "platform/temp_file.h"
#include "tonemap/rgbe_source.h"
#include "tonemap/tm_params.h"

namespace {

// Marks a pixel too dark to have a logarithm until the image is read.
constexpr float kTooSmall = -1e9f;

struct Stats {
    int64_t count = 0;
    double sum = 0;
    float mx = -1e9f, mn = 1e9f;
    bool tooSmall = false;
    void add(float v)
    {
        ++count;
        sum += v;
        if (v > mx)
            mx = v;
        if (v < mn)
            mn = v;
    }
    // Another run of pixels' statistics after these.
    void merge(const Stats &o)
    {
        count += o.count;
        sum += o.sum;
        mx = std::max(mx, o.mx);
        mn = std::min(mn, o.mn);
        tooSmall = tooSmall || o.tooSmall;
    }
};

template <class Sample>
void interleaved_rows(const Sample *src, int spp, int rowLength, int y0, int y1, int width,
                      int gridWidth, const float *curve, float floor, float *out, Stats &st)
{
    const int offG = (spp - 1) / 2, offB = spp - 1;
    for (int y = y0; y < y1; ++y) {
        const Sample *s = src + static_cast<size_t>(y) * static_cast<size_t>(rowLength);
        float *o = out + static_cast<size_t>(y) * static_cast<size_t>(gridWidth);
        for (int x = 0; x < width; ++x, s += spp) {
            float Y = 0.2126f * curve[s[0]] + 0.7152f * curve[s[offG]] + 0.0722f * curve[s[offB]];
            if (!(Y >= floor))
                Y = floor;
            const float v = std::log(Y);
            o[x] = v;
            st.add(v);
        }
    }
}

void rgbe_rows(const uint8_t *src, int w, int y0, int y1, int width, int gridWidth,
               const float *table, float *out, Stats &st)
{
    const size_t plane = static_cast<size_t>(w);
    for (int y = y0; y < y1; ++y) {
        const uint8_t *R = src + static_cast<size_t>(y) * 4 * plane;
        const uint8_t *G = R + plane, *B = G + plane, *E = B + plane;
        float *o = out + static_cast<size_t>(y) * static_cast<size_t>(gridWidth);
        for (int x = 0; x < width; ++x) {
            const float Y = 0.2126f * R[x] + 0.7152f * G[x] + 0.0722f * B[x];
            if (E[x] == 0 || !(Y > 0)) {
                o[x] = kTooSmall;
                st.tooSmall = true;
                continue;
            }
            const float v = std::log(Y * table[E[x]]);
            o[x] = v;
            st.add(v);
        }
    }
}

// lumParam [0] to [2] from the statistics of the values that count; returns their mean.
double finish_statistics(const Stats &st, float *lumParam)
{
    const double mean = st.count > 0 ? st.sum / static_cast<double>(st.count) : 0.0;
    if (st.count > 0)
        lumParam[0] = static_cast<float>(std::exp(mean));
    if (lumParam[0] > 0)
        lumParam[1] = std::exp(st.mx) / lumParam[0];
    lumParam[2] = std::exp(st.mn);
    return mean;
}

void replace_too_small(float *out, size_t cells, float fill)
{
    for (size_t i = 0; i < cells; ++i)
        if (out[i] < -99999999.0f)
            out[i] = fill;
}

} // namespace

int calc_tm0(int docType, int spp, int w, int h, int rowLength, int width, int height,
             int gridWidth, int gridHeight, float *lumParam, const float *table, const float *curve,
             const void *source, float *out, int nbProc)
{
    if (docType < 0)
        return 1;
    if (width <= 9 || height <= 9)
        return -1;
    if (docType > kDocRgb8)
        return 0;
    const bool rgbe = docType == kDocRgbe;
    if (!lumParam || !source || !out || !(rgbe ? table : curve))
        return -3;
    if (width > w || height > h || gridWidth < width || gridHeight < height)
        return -3;
    if (!rgbe && (spp < 1 || static_cast<int64_t>(rowLength) < static_cast<int64_t>(spp) * w))
        return -3;

    // Each row's statistics on their own (its sum from 0 in index order), then the rows' in row
    // order: the same values at every thread count.
    const double n = docType == kDocRgb16 ? 65535.0 : 255.0; // the curve's value of code 1
    const float floor = static_cast<float>(n * std::pow(1.0 / n, 2.2));
    std::vector<Stats> rows;
    imagecore::BandWork work;
    try {
        rows.resize(static_cast<size_t>(height));
        work = [&](const imagecore::Band &b) {
            for (int y = b.begin; y < b.end; ++y) {
                Stats &st = rows[static_cast<size_t>(y)];
                if (rgbe)
                    rgbe_rows(static_cast<const uint8_t *>(source), w, y, y + 1, width, gridWidth,
                              table, out, st);
                else if (docType == kDocRgb16)
                    interleaved_rows(static_cast<const uint16_t *>(source), spp, rowLength, y,
                                     y + 1, width, gridWidth, curve, floor, out, st);
                else
                    interleaved_rows(static_cast<const uint8_t *>(source), spp, rowLength, y, y + 1,
                                     width, gridWidth, curve, floor, out, st);
            }
        };
    } catch (const std::bad_alloc &) {
        return -4;
    }
    imagecore::run_banded(nbProc, height, work);
    Stats st;
    for (const Stats &r : rows)
        st.merge(r);

    const size_t gw = static_cast<size_t>(gridWidth);
    for (int y = 0; y < height; ++y) {
        float *o = out + static_cast<size_t>(y) * gw;
        for (int x = width; x < gridWidth; ++x)
            o[x] = o[width - 1];
    }
    for (int y = height; y < gridHeight; ++y)
        for (size_t x = 0; x < gw; ++x)
            out[static_cast<size_t>(y) * gw + x] = out[static_cast<size_t>(height - 1) * gw + x];

    const double mean = finish_statistics(st, lumParam);
    // Pixels without light take the mean log luminance of the lit ones.
    if (st.tooSmall)
        replace_too_small(out, *platform::checked_product({gridWidth, gridHeight}),
                          st.count > 0 ? static_cast<float>(mean) : st.mn);
    return gridHeight;
}

int calc_tm0s(int docType, int w, int h, float *lumParam, const float *table, const int *info,
              const char *radiancePath, const char *tempPath, float *buffer)
{
    if (docType != kDocRgbe)
        return -3;
    if (w <= 9 || h <= 9)
        return -1;
    if (!lumParam || !table || !info || !buffer || info[0] != w || info[1] != h ||
        !platform::image_bytes(w, h, 4, 1))
        return -3;
    const int read = decomp2(radiancePath, info, reinterpret_cast<uint8_t *>(buffer));
    if (read < 0)
        return read;
    // The rows go through the file because each row of log values overwrites the bytes the
    // decoded image holds there.
    platform::TempFile temp;
    std::vector<uint8_t> row;
    try {
        temp = platform::TempFile::create(tempPath);
        row.resize(4 * size_t(w));
    } catch (const std::bad_alloc &) {
        return -4;
    }
    if (!temp.ok())
        return -1;
    const size_t rowBytes = row.size(), bytes = rowBytes * size_t(h);
    if (std::fwrite(buffer, 1, bytes, temp.get()) != bytes || std::fflush(temp.get()) != 0 ||
        std::fseek(temp.get(), 0, SEEK_SET) != 0)
        return -2;
    Stats st;
    for (int y = 0; y < h; ++y) {
        if (std::fread(row.data(), 1, rowBytes, temp.get()) != rowBytes)
            return -2;
        Stats rowStats; // row by row as calc_tm0 sums
        rgbe_rows(row.data(), w, 0, 1, w, w, table, buffer + size_t(y) * size_t(w), rowStats);
        st.merge(rowStats);
    }
    finish_statistics(st, lumParam);
    // Any pixel without light takes the smallest log luminance of the lit ones.
    if (st.tooSmall)
        replace_too_small(buffer, size_t(w) * size_t(h), st.mn);
    return h;
}

int tm1b(int width, int rows, int64_t start, float *g, float alpha, float exponent, float eps)
{
    const std::optional<size_t> n = platform::checked_product({width, rows});
    if (!g || !n || start < 0)
        return -3;
    float *v = g + start;
    for (size_t i = 0; i < *n; ++i)
        if (v[i] != 0)
            v[i] = static_cast<float>(
                std::pow(static_cast<double>((v[i] + eps) / alpha), static_cast<double>(exponent)));
    return rows;
}
