// Tests of the framework stand-ins: data objects, values, notifications, user defaults, system
// facts and checked sizes.
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/checked_size.h"
#include "platform/data.h"
#include "platform/notification_center.h"
#include "platform/system.h"
#include "platform/temp_file.h"
#include "platform/user_defaults.h"
#include "platform/value.h"
#include "tests/support/fixtures.h"
#include "tests/support/scratch_files.h"

namespace {

using namespace platform;
using testsupport::Bytes;
using testsupport::TempDir;

TEST(Data, AdoptsWithoutCopyingAndCopiesOwnTheirBytes)
{
    void *p = std::calloc(64, 1);
    DataPtr adopted = Data::adopt(p, 64);
    ASSERT_NE(adopted, nullptr);
    EXPECT_EQ(adopted->bytes(), p); // freed by the object: ASan reports a leak otherwise
    EXPECT_EQ(Data::adopt(nullptr, 3), nullptr);
    uint8_t src[4] = {10, 20, 30, 40}, dst[6] = {};
    DataPtr d = Data::copy(src, 4);
    src[0] = 9;
    d->getBytes(dst, sizeof dst); // at most the object's length
    EXPECT_EQ(Bytes(dst, dst + 6), (Bytes{10, 20, 30, 40, 0, 0}));
    EXPECT_EQ(contents_at_path("/nonexistent/file"), nullptr);
}

TEST(Value, NumbersSaturateAndOtherKindsGiveTheFallback)
{
    EXPECT_EQ(Value(-2.9).intValue(), -2);
    EXPECT_EQ(Value("12").intValue(-1), -1);
    EXPECT_EQ(Value(std::nan("")).intValue(-3), -3);
    EXPECT_EQ(Value(1e300).intValue(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(Value(-1e300).intValue(), std::numeric_limits<int64_t>::min());
}

TEST(NotificationCenter, PostReachesMatchingObserversAndChangesApplyFromTheNextPost)
{
    NotificationCenter center;
    int a = 0, byName = 0, bySender = 0, any = 0, late = 0;
    Notification last;
    center.addObserver("done", nullptr, [&](const Notification &) { ++byName; });
    center.addObserver("done", &a, [&](const Notification &) { ++bySender; });
    NotificationCenter::Token self = 0;
    self = center.addObserver("", nullptr, [&](const Notification &n) {
        last = n; // adding and removing from inside a post must not deadlock
        center.addObserver("done", nullptr, [&](const Notification &) { ++late; });
        center.removeObserver(self);
        ++any;
    });
    center.post("done", &a, {{"value", Value(37)}});
    EXPECT_EQ(last.object, &a);
    EXPECT_EQ(last.userInfo.at("value").intValue(), 37);
    center.post("done", &late); // another sender
    EXPECT_EQ((std::vector<int>{byName, bySender, any, late}), (std::vector<int>{2, 1, 1, 1}));
}

// Without the centre's lock the observer list changes under a post and the run crashes.
TEST(NotificationCenter, PostsAndObserverChangesFromManyThreadsAtOnce)
{
    NotificationCenter center;
    std::atomic<long> seen{0};
    center.addObserver("tick", nullptr, [&](const Notification &) { ++seen; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&center] {
            for (int i = 0; i < 1000; ++i) {
                auto token = center.addObserver("tock", nullptr, [](const Notification &) {});
                center.post("tick", nullptr);
                center.removeObserver(token);
            }
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(seen.load(), 8000);
}

Dictionary every_kind()
{
    Dictionary inner{{"depth", Value(2)}, {"list", Value(std::vector<std::string>{"x", ""})}};
    return {{"int", Value(int64_t(-9000000000))},
            {"negzero", Value(-0.0)},
            {"double", Value(0.1)},
            {"string", Value(std::string("a:b;c\0d s3:", 11))}, // separators and a NUL survive
            {"data", Value(std::vector<uint8_t>{0, 255, 7})},
            {"doubles", Value(std::vector<double>{1.5, -2.25, 1e300})},
            {"strings", Value(std::vector<std::string>{"one", "two:2", "s1:x"})},
            {"dict with spaces", Value(Dictionary{{"nested", Value(inner)}, {"n", Value(1)}})}};
}

TEST(UserDefaults, EveryKindRoundTripsAndBadFilesReadEmpty)
{
    TempDir dir;
    const std::string path = dir.file("cfg/zenit/defaults");
    {
        UserDefaults d(path);
        for (auto &kv : every_kind())
            d.setObject(kv.second, kv.first);
        ASSERT_TRUE(d.synchronize());
    }
    UserDefaults back(path);
    for (auto &kv : every_kind())
        EXPECT_TRUE(back.objectForKey(kv.first) == kv.second) << kv.first;
    EXPECT_TRUE(std::signbit(back.objectForKey("negzero").doubleValue()));
    EXPECT_TRUE(back.objectForKey("absent").isNull());

    EXPECT_TRUE(back.problem().empty());
    ASSERT_TRUE(testsupport::write_file(dir.file("bad"), {'D', '9', ':', 's'}));
    EXPECT_TRUE(UserDefaults(dir.file("bad")).objectForKey("a").isNull());

    // What cannot be a store is an empty one, and says why; a missing or empty file says nothing.
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0); // no writer: an open would block
    ASSERT_TRUE(testsupport::write_file(dir.file("empty"), {}));
    const std::string big = dir.file("big");
    ASSERT_TRUE(testsupport::write_file(big, {}));
    ASSERT_EQ(::truncate(big.c_str(), off_t(kMaxDefaultsFileBytes) + 1), 0);
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("absent"), ""},
        {dir.file("empty"), ""},
        {dir.file("bad"), "is not a defaults file"},
        {dir.file("pipe"), "is not a regular file"},
        {dir.path(), "is a directory"},
        {big, "has 1048577 bytes, more than the 1048576"},
    };
    for (const auto &[file, says] : cases) {
        const UserDefaults d(file);
        EXPECT_TRUE(d.objectForKey("a").isNull());
        EXPECT_EQ(d.problem().empty(), says.empty()) << file << ": " << d.problem();
        EXPECT_NE(d.problem().find(says), std::string::npos) << d.problem();
    }
    UserDefaults d(dir.file("bad/sub/defaults")); // a file stands where a folder must go
    d.setObject(Value(1), "a");
    EXPECT_FALSE(d.synchronize());
}

TEST(DecodeDefaults, MalformedTextGivesNothing)
{
    const std::string good = encode_defaults(every_kind());
    for (size_t n = 0; n < good.size(); n += 7) // every proper prefix is malformed
        EXPECT_FALSE(decode_defaults(good.substr(0, n)).has_value()) << n;
    std::string deep = "i1;"; // nesting past the parser's limit, refused rather than recursed
    for (int i = 0; i < 40; ++i)
        deep = "D1:s1:k" + deep;
    for (std::string t : {"x", "D1:s9:ai1;", "D99999999999999999999:", "D1:s1:ai1;junk"})
        EXPECT_FALSE(decode_defaults(t).has_value()) << t;
    EXPECT_FALSE(decode_defaults(deep).has_value());
}

TEST(System, PathExtensionAndProcessorCount)
{
    const char *cases[][2] = {
        {"a/b.TIF", "TIF"}, {"a.b/c", ""}, {"dir/.prof", ""}, {"x.tar.gz", "gz"}};
    for (const auto &[path, ext] : cases)
        EXPECT_EQ(path_extension(path), ext) << path;
    EXPECT_TRUE(processor_count() >= 0 && processor_count() <= 32) << processor_count();
}

} // namespace

TEST(CheckedSize, RefusesOverflowAndNegatives)
{
    EXPECT_EQ(image_bytes(10, 5, 3, 2).value(), 300u);
    EXPECT_FALSE(image_bytes(-1, 5, 3, 1));
    EXPECT_FALSE(checked_product({1LL << 32, 1LL << 32, 1LL << 2}));
    EXPECT_FALSE(checked_mul(SIZE_MAX, 2));
    EXPECT_TRUE(range_inside(10, 5, 15));
    EXPECT_FALSE(range_inside(10, 6, 15));
}

// The kernels' int arguments: at most INT_MAX pixels, rows of 16-bit samples of at most INT_MAX
// bytes.
TEST(CheckedSize, KernelSizedStopsAtWhatAnIntHolds)
{
    const struct {
        int64_t w, h, spp;
        bool fits;
    } cases[] = {
        {1, 1, 1, true},
        {46340, 46340, 3, true},   // 2147395600 pixels
        {46341, 46341, 3, false},  // 2147488281
        {65535, 32768, 1, true},   // INT_MAX - 32767
        {65536, 32768, 1, false},  // 2^31: one more than an int holds
        {INT_MAX, 1, 1, false},    // a row of 2 x INT_MAX bytes
        {INT_MAX / 2, 2, 1, true}, // the widest row
        {1, INT_MAX, 1, true},     // exactly INT_MAX pixels
        {INT_MAX / 6 + 1, 1, 3, false},
        {0, 5, 3, false},
        {5, 5, 0, false},
        {-3, -3, 3, false},
        {int64_t(1) << 40, int64_t(1) << 40, 3, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kernel_sized(c.w, c.h, c.spp), c.fits) << c.w << " x " << c.h << " x " << c.spp;
}

// A temporary file is new and private: made in the system's temporary folder, or at a path where
// nothing (not even a link) stands; one holder owns it at a time and removes it when it goes.
TEST(TempFile, NewPrivateAndRemovedByItsLastHolder)
{
    testsupport::PrivateTmp tmp;
    {
        platform::TempFile a = platform::TempFile::create();
        ASSERT_TRUE(a.ok());
        EXPECT_EQ(a.path().rfind(tmp.path(""), 0), 0u);
        struct stat st {};
        ASSERT_EQ(::stat(a.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        platform::TempFile b = std::move(a);
        EXPECT_FALSE(a.ok());
        EXPECT_EQ(tmp.entries().size(), 1u);
        b = platform::TempFile::create(tmp.path("named").c_str());
        EXPECT_EQ(tmp.entries(), std::vector<std::string>{"named"});
        EXPECT_FALSE(platform::TempFile::create(tmp.path("named").c_str()).ok());
        ASSERT_EQ(::symlink("/nonexistent", tmp.path("link").c_str()), 0);
        EXPECT_FALSE(platform::TempFile::create(tmp.path("link").c_str()).ok());
        ::unlink(tmp.path("link").c_str());
    }
    EXPECT_TRUE(tmp.entries().empty());
}
