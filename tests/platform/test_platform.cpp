// Tests of the framework stand-ins: data objects, notifications, user defaults, bundle strings
// and resources, alerts and system facts.
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/alerts.h"
#include "platform/bundle.h"
#include "platform/checked_size.h"
#include "platform/data.h"
#include "platform/notification_center.h"
#include "platform/system.h"
#include "platform/user_defaults.h"
#include "platform/value.h"
#include "tests/support/fixtures.h"

namespace {

using namespace platform;
using testsupport::TempDir;

TEST(Data, AdoptCopyAndZeroedOwnTheirBytes)
{
    void *p = std::calloc(64, 1);
    ASSERT_NE(p, nullptr);
    DataPtr adopted = Data::adopt(p, 64);
    ASSERT_NE(adopted, nullptr);
    EXPECT_EQ(adopted->bytes(), p); // no copy; freed by the object (ASan sees a leak otherwise)
    EXPECT_EQ(adopted->length(), 64u);
    EXPECT_EQ(Data::adopt(nullptr, 3), nullptr);
    EXPECT_EQ(Data::adopt(nullptr, 0)->length(), 0u);
    EXPECT_EQ(Data::copy(nullptr, 0)->length(), 0u);

    uint8_t src[4] = {10, 20, 30, 40};
    DataPtr d = Data::copy(src, 4);
    src[0] = 9;
    EXPECT_EQ(d->bytes()[0], 10);
    uint8_t dst[8];
    std::memset(dst, 0xEE, sizeof dst);
    d->getBytes(dst, sizeof dst); // at most the object's length
    EXPECT_EQ(dst[3], 40);
    EXPECT_EQ(dst[4], 0xEE);

    DataPtr z = Data::zeroed(1000);
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(z->bytes(), z->bytes() + 1000), std::vector<uint8_t>(1000));
    z->mutableBytes()[999] = 7;
    EXPECT_EQ(z->bytes()[999], 7);
}

TEST(ContentsAtPath, ReadsAWholeFileAndNullWhenMissing)
{
    TempDir dir;
    testsupport::Bytes bytes(70000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 7);
    ASSERT_TRUE(testsupport::write_file(dir.file("f.bin"), bytes));
    DataPtr d = contents_at_path(dir.file("f.bin"));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(testsupport::Bytes(d->bytes(), d->bytes() + d->length()), bytes);
    EXPECT_EQ(contents_at_path(dir.file("missing")), nullptr);
}

TEST(Value, NumbersConvertSaturatingAndOtherKindsGiveTheFallback)
{
    EXPECT_EQ(Value(2.9).intValue(), 2);
    EXPECT_DOUBLE_EQ(Value(3).doubleValue(), 3.0);
    EXPECT_EQ(Value("12").intValue(-1), -1);
    EXPECT_EQ(Value().intValue(5), 5);
    EXPECT_EQ(Value(std::nan("")).intValue(-3), -3);
    EXPECT_EQ(Value(1e300).intValue(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(Value(-1e300).intValue(), std::numeric_limits<int64_t>::min());
}

TEST(NotificationCenter, PostReachesMatchingObserversBeforeItReturns)
{
    NotificationCenter center;
    int senderA = 0, senderB = 0;
    int byName = 0, bySender = 0, any = 0;
    Notification last;
    center.addObserver("done", nullptr, [&](const Notification &) { ++byName; });
    center.addObserver("done", &senderA, [&](const Notification &) { ++bySender; });
    center.addObserver("", nullptr, [&](const Notification &n) {
        ++any;
        last = n;
    });
    center.post("done", &senderA, {{"value", Value(37)}});
    EXPECT_EQ(last.object, &senderA);
    EXPECT_EQ(last.name, "done");
    EXPECT_EQ(last.userInfo.at("value").intValue(), 37);
    center.post("done", &senderB);
    center.post("other", &senderA);
    EXPECT_EQ(byName, 2);
    EXPECT_EQ(bySender, 1);
    EXPECT_EQ(any, 3);
}

TEST(NotificationCenter, ChangesMadeDuringAPostApplyFromTheNextPost)
{
    NotificationCenter center;
    int self = 0, late = 0, removed = 0;
    NotificationCenter::Token selfToken = 0;
    selfToken = center.addObserver("n", nullptr, [&](const Notification &) {
        if (++self == 1)
            center.addObserver("n", nullptr, [&](const Notification &) { ++late; });
        center.removeObserver(selfToken);
    });
    auto token = center.addObserver("n", nullptr, [&](const Notification &) { ++removed; });
    {
        ScopedObserver scoped(
            "n", nullptr, [&](const Notification &) { ++removed; }, center);
        center.post("n", nullptr);
    }
    center.removeObserver(token);
    center.removeObserver(token); // twice is harmless
    center.post("n", nullptr);
    EXPECT_EQ(self, 1);
    EXPECT_EQ(late, 1);
    EXPECT_EQ(removed, 2);
}

TEST(NotificationCenter, ConcurrentPostsReachEveryObserverOnce)
{
    NotificationCenter center;
    std::atomic<long> tick{0}, tock{0};
    center.addObserver("tick", nullptr, [&](const Notification &) { ++tick; });
    center.addObserver("tock", nullptr, [&](const Notification &) { ++tock; });
    constexpr int kThreads = 8, kPosts = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&center, t] {
            for (int i = 0; i < kPosts; ++i)
                center.post((i + t) % 2 ? "tick" : "tock", nullptr);
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(tick.load(), long(kThreads) * kPosts / 2);
    EXPECT_EQ(tock.load(), long(kThreads) * kPosts / 2);
}

Dictionary every_kind()
{
    std::vector<uint8_t> blob(80);
    for (size_t i = 0; i < blob.size(); ++i)
        blob[i] = uint8_t(255 - 3 * i);
    Dictionary inner{{"depth", Value(2)}, {"list", Value(std::vector<std::string>{"x", ""})}};
    return {
        {"int", Value(int64_t(-9000000000))},
        {"double", Value(0.1)},
        {"negzero", Value(-0.0)},
        {"tiny", Value(5e-324)},
        {"string", Value(std::string("a:b;c\0d s3:", 11))}, // separators and a NUL survive
        {"empty", Value(std::string())},
        {"data", Value(blob)},
        {"doubles", Value(std::vector<double>{1.5, -2.25, 1e300})},
        {"strings", Value(std::vector<std::string>{"one", "two:2", "s1:x"})},
        {"dict", Value(Dictionary{{"nested", Value(inner)}, {"n", Value(1)}})},
        {"key with spaces", Value(3)},
    };
}

TEST(UserDefaults, EveryKindRoundTripsThroughTheFile)
{
    TempDir dir;
    const std::string path = dir.file("cfg/zenit/defaults");
    const Dictionary values = every_kind();
    {
        UserDefaults d(path);
        for (auto &kv : values)
            d.setObject(kv.second, kv.first);
        d.setObject(Value(1), "gone");
        d.setObject(Value(2), "removed");
        // A null inside a dictionary is left out instead of making the whole file unreadable.
        d.setObject(Value(Dictionary{{"kept", Value(1)}, {"null", Value()}}), "withNull");
        d.setObject(Value(), "gone"); // a null value removes the key
        d.removeObjectForKey("removed");
        ASSERT_TRUE(d.synchronize());
    }
    UserDefaults back(path);
    for (auto &kv : values)
        EXPECT_TRUE(back.objectForKey(kv.first) == kv.second) << kv.first;
    EXPECT_TRUE(std::signbit(back.objectForKey("negzero").doubleValue()));
    EXPECT_TRUE(back.objectForKey("withNull") == Value(Dictionary{{"kept", Value(1)}}));
    for (const char *key : {"absent", "gone", "removed"})
        EXPECT_TRUE(back.objectForKey(key).isNull()) << key;
    EXPECT_TRUE(decode_defaults(encode_defaults({})).value().empty());
}

TEST(UserDefaults, BadFilesReadEmptyAndAnUnmakeableFolderFailsToSave)
{
    TempDir dir;
    EXPECT_TRUE(UserDefaults(dir.file("none")).objectForKey("a").isNull());
    ASSERT_TRUE(testsupport::write_file(dir.file("bad"), {'D', '9', ':', 's'}));
    EXPECT_TRUE(UserDefaults(dir.file("bad")).objectForKey("a").isNull());
    UserDefaults d(dir.file("bad/sub/defaults")); // a file stands where a folder must go
    d.setObject(Value(1), "a");
    EXPECT_FALSE(d.synchronize());
}

TEST(DecodeDefaults, MalformedTextGivesNothing)
{
    const std::string good = encode_defaults(every_kind());
    for (size_t n = 0; n < good.size(); n += 7) // every proper prefix is malformed
        EXPECT_FALSE(decode_defaults(good.substr(0, n)).has_value()) << n;
    std::string deep; // nesting past the parser's limit, refused rather than recursed
    for (int i = 0; i < 40; ++i)
        deep += "D1:s1:k";
    deep += "i1;";
    const std::string bad[] = {
        "x",                      // unknown tag
        "i5;",                    // not a dictionary
        "D1:s1:ai12",             // number without its end
        "D1:s1:aiz;",             // not a number
        "D1:s1:ab2:zz1",          // not hex
        "D1:s9:ai1;",             // string longer than the text
        "D99999999999999999999:", // count overflow
        "D1:s1:ai1;junk",         // trailing bytes
        "D0:D0:",                 // trailing value
        "D1:s1:aF2:1;",           // short float list
        deep,
    };
    for (const std::string &t : bad)
        EXPECT_FALSE(decode_defaults(t).has_value()) << t.substr(0, 40);
}

TEST(Bundle, LocalizedStringsAndResources)
{
    set_localized_strings({});
    EXPECT_EQ(localized_string("Error"), "Error");
    set_localized_strings({{"Error", "Erreur"}});
    EXPECT_EQ(localized_string("Error"), "Erreur");
    EXPECT_EQ(localized_string("OK"), "OK");
    set_localized_strings({});

    TempDir dir;
    const std::string old = resources_root();
    ASSERT_TRUE(testsupport::write_file(dir.file("sRGB.icc"), {1, 2}));
    ASSERT_TRUE(testsupport::write_file(dir.file("README"), {1}));
    std::filesystem::create_directory(dir.file("folder.icc"));
    set_resources_root(dir.path());
    EXPECT_EQ(path_for_resource("sRGB", "icc"), dir.file("sRGB.icc"));
    EXPECT_EQ(path_for_resource("README", ""), dir.file("README"));
    EXPECT_EQ(path_for_resource("missing", "icc"), "");
    EXPECT_EQ(path_for_resource("folder", "icc"), ""); // only regular files
    set_resources_root(old);
}

TEST(RunAlert, GoesToTheInstalledSink)
{
    std::vector<Alert> seen;
    AlertSink old = set_alert_sink([&](const Alert &a) { seen.push_back(a); });
    run_alert("Error", "Cannot read file", "Cancel");
    run_alert("Information", "Done");
    set_alert_sink(old);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].title, "Error");
    EXPECT_EQ(seen[0].message, "Cannot read file");
    EXPECT_EQ(seen[0].button, "Cancel");
    EXPECT_EQ(seen[1].button, "OK");
}

TEST(System, PathExtensionAndProcessorCount)
{
    const std::pair<const char *, const char *> cases[] = {
        {"a/b.TIF", "TIF"}, {"a.b/c", ""}, {".profile", ""}, {"dir/.profile", ""},
        {"x.tar.gz", "gz"}, {"name.", ""}, {"", ""},
    };
    for (const auto &[path, ext] : cases)
        EXPECT_EQ(path_extension(path), ext) << path;
    EXPECT_GE(processor_count(), 0);
    EXPECT_LE(processor_count(), 32);
}

} // namespace

TEST(CheckedSize, RefusesOverflowAndNegatives)
{
    EXPECT_EQ(image_bytes(10, 5, 3, 2).value(), 300u);
    EXPECT_FALSE(image_bytes(0, 5, 3, 1));
    EXPECT_FALSE(image_bytes(-1, 5, 3, 1));
    EXPECT_FALSE(checked_product({1LL << 32, 1LL << 32, 1LL << 2}));
    EXPECT_FALSE(checked_mul(SIZE_MAX, 2));
    EXPECT_TRUE(range_inside(10, 5, 15));
    EXPECT_FALSE(range_inside(10, 6, 15));
    EXPECT_FALSE(range_inside(16, 0, 15));
}
