// Build tool: writes the application's three RGB display profiles (ICC version 2.4, so that every
// reader of the files they are embedded in takes them) into the folder given as the only
// argument. sRGB is the colour library's own (IEC 61966-2-1 primaries, D65, the sRGB curve);
// the other two are made from their published primaries, white points and gammas.
// The creation date is fixed, so that the same library writes the same bytes on every build.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <lcms2.h>

namespace {

struct ProfileCloser {
    void operator()(void *p) const { cmsCloseProfile(p); }
};
using ProfilePtr = std::unique_ptr<void, ProfileCloser>;
struct CurveFree {
    void operator()(cmsToneCurve *c) const { cmsFreeToneCurve(c); }
};
using CurvePtr = std::unique_ptr<cmsToneCurve, CurveFree>;
struct MluFree {
    void operator()(cmsMLU *m) const { cmsMLUfree(m); }
};
using MluPtr = std::unique_ptr<cmsMLU, MluFree>;
struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

// An RGB display profile from the white point, the primaries and one gamma for all channels.
ProfilePtr rgb_profile(const cmsCIExyY &white, const cmsCIExyYTRIPLE &primaries, double gamma)
{
    CurvePtr curve(cmsBuildGamma(nullptr, gamma));
    if (!curve)
        return nullptr;
    cmsToneCurve *curves[3] = {curve.get(), curve.get(), curve.get()};
    return ProfilePtr(cmsCreateRGBProfile(&white, &primaries, curves));
}

bool set_text(void *profile, cmsTagSignature tag, const char *text)
{
    MluPtr mlu(cmsMLUalloc(nullptr, 1));
    return mlu && cmsMLUsetASCII(mlu.get(), "en", "US", text) &&
           cmsWriteTag(profile, tag, mlu.get());
}

bool save(void *profile, const char *description, const std::string &path)
{
    cmsSetProfileVersion(profile, 2.4);
    if (!set_text(profile, cmsSigProfileDescriptionTag, description) ||
        !set_text(profile, cmsSigCopyrightTag, "No copyright, use freely"))
        return false;
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile, nullptr, &size) || size < 128)
        return false;
    std::vector<unsigned char> bytes(size);
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size))
        return false;
    // Header bytes 24..35: the creation date and time as six big-endian 16-bit numbers.
    const unsigned date[6] = {2024, 1, 1, 0, 0, 0};
    for (int i = 0; i < 6; ++i) {
        bytes[size_t(24 + 2 * i)] = (unsigned char)(date[i] >> 8);
        bytes[size_t(25 + 2 * i)] = (unsigned char)(date[i] & 0xFF);
    }
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "wb"));
    if (!f || std::fwrite(bytes.data(), 1, size, f.get()) != size)
        return false;
    return std::fclose(f.release()) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_profiles <folder>\n");
        return 2;
    }
    const std::string dir = argv[1];

    ProfilePtr srgb(cmsCreate_sRGBProfile());

    // Adobe RGB (1998): D65, gamma 563/256.
    const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE adobe = {
        {0.6400, 0.3300, 1.0}, {0.2100, 0.7100, 1.0}, {0.1500, 0.0600, 1.0}};
    ProfilePtr adobeRgb = rgb_profile(d65, adobe, 563.0 / 256.0);

    // ROMM RGB (ProPhoto RGB): D50, the profile connection space's own white, gamma 1.8.
    const cmsCIExyYTRIPLE romm = {
        {0.7347, 0.2653, 1.0}, {0.1596, 0.8404, 1.0}, {0.0366, 0.0001, 1.0}};
    ProfilePtr proPhoto = rgb_profile(*cmsD50_xyY(), romm, 1.8);

    if (!srgb || !adobeRgb || !proPhoto) {
        std::fprintf(stderr, "make_profiles: the colour library could not build a profile\n");
        return 1;
    }
    const struct {
        void *profile;
        const char *description, *file;
    } outputs[] = {{srgb.get(), "sRGB IEC61966-2.1", "sRGB Profile.icc"},
                   {adobeRgb.get(), "Adobe RGB (1998)", "AdobeRGB1998.icc"},
                   {proPhoto.get(), "ProPhoto RGB", "ProPhoto.icm"}};
    for (const auto &o : outputs) {
        const std::string path = dir + "/" + o.file;
        if (!save(o.profile, o.description, path)) {
            std::fprintf(stderr, "make_profiles: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
