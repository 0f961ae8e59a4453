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
#include "platform/data.h"
#include "platform/notification_center.h"
#include "platform/system.h"
#include "platform/user_defaults.h"
#include "platform/value.h"
#include "tests/support/fixtures.h"

namespace {

using namespace platform;
using testsupport::TempDir;

// ---------------------------------------------------------------------------------------------
// Data

TEST(Data, AdoptKeepsTheCallersBufferWithoutCopying)
{
    void *p = std::calloc(64, 1);
    ASSERT_NE(p, nullptr);
    static_cast<uint8_t *>(p)[5] = 42;
    DataPtr d = Data::adopt(p, 64);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->bytes(), p);
    EXPECT_EQ(d->length(), 64u);
    EXPECT_EQ(d->bytes()[5], 42);
}

TEST(Data, AdoptRefusesNullWithALength)
{
    EXPECT_EQ(Data::adopt(nullptr, 3), nullptr);
    DataPtr empty = Data::adopt(nullptr, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->length(), 0u);
}

TEST(Data, CopyDuplicatesTheBytes)
{
    uint8_t src[5] = {1, 2, 3, 4, 5};
    DataPtr d = Data::copy(src, sizeof src);
    ASSERT_NE(d, nullptr);
    EXPECT_NE(d->bytes(), src);
    src[0] = 9;
    EXPECT_EQ(d->bytes()[0], 1);
    EXPECT_EQ(std::memcmp(d->bytes() + 1, src + 1, 4), 0);
    DataPtr empty = Data::copy(nullptr, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->length(), 0u);
}

TEST(Data, ZeroedIsAllZeroAndWritable)
{
    DataPtr d = Data::zeroed(1000);
    ASSERT_NE(d, nullptr);
    for (size_t i = 0; i < d->length(); ++i)
        ASSERT_EQ(d->bytes()[i], 0) << i;
    d->mutableBytes()[999] = 7;
    EXPECT_EQ(d->bytes()[999], 7);
}

TEST(Data, GetBytesCopiesAtMostTheObjectsLength)
{
    const uint8_t src[4] = {10, 20, 30, 40};
    DataPtr d = Data::copy(src, 4);
    uint8_t dst[8];
    std::memset(dst, 0xEE, sizeof dst);
    d->getBytes(dst, sizeof dst);
    EXPECT_EQ(std::memcmp(dst, src, 4), 0);
    EXPECT_EQ(dst[4], 0xEE);
    std::memset(dst, 0xEE, sizeof dst);
    d->getBytes(dst, 2);
    EXPECT_EQ(dst[1], 20);
    EXPECT_EQ(dst[2], 0xEE);
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
    ASSERT_EQ(d->length(), bytes.size());
    EXPECT_EQ(std::memcmp(d->bytes(), bytes.data(), bytes.size()), 0);
    EXPECT_EQ(contents_at_path(dir.file("missing")), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Value

TEST(Value, NumbersConvertAndOtherKindsGiveTheFallback)
{
    EXPECT_EQ(Value(7).intValue(), 7);
    EXPECT_EQ(Value(2.9).intValue(), 2);
    EXPECT_DOUBLE_EQ(Value(3).doubleValue(), 3.0);
    EXPECT_EQ(Value("12").intValue(-1), -1);
    EXPECT_EQ(Value().intValue(5), 5);
    EXPECT_EQ(Value(std::nan("")).intValue(-3), -3);
    EXPECT_EQ(Value(1e300).intValue(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(Value(-1e300).intValue(), std::numeric_limits<int64_t>::min());
}

// ---------------------------------------------------------------------------------------------
// NotificationCenter

TEST(NotificationCenter, PostCallsObserversBeforeItReturns)
{
    NotificationCenter center;
    int calls = 0;
    int seen = 0;
    center.addObserver("progress", nullptr, [&](const Notification &n) {
        ++calls;
        seen = int(n.userInfo.at("value").intValue());
    });
    center.post("progress", nullptr, {{"value", Value(37)}});
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, 37);
}

TEST(NotificationCenter, FiltersByNameAndSender)
{
    NotificationCenter center;
    int senderA = 0, senderB = 0;
    int byName = 0, bySender = 0, any = 0;
    center.addObserver("done", nullptr, [&](const Notification &) { ++byName; });
    center.addObserver("done", &senderA, [&](const Notification &) { ++bySender; });
    center.addObserver("", nullptr, [&](const Notification &) { ++any; });
    center.post("done", &senderA);
    center.post("done", &senderB);
    center.post("other", &senderA);
    EXPECT_EQ(byName, 2);
    EXPECT_EQ(bySender, 1);
    EXPECT_EQ(any, 3);
}

TEST(NotificationCenter, PassesTheSenderAndName)
{
    NotificationCenter center;
    int sender = 0;
    const void *got = nullptr;
    std::string name;
    center.addObserver("", nullptr, [&](const Notification &n) {
        got = n.object;
        name = n.name;
    });
    center.post("merged", &sender);
    EXPECT_EQ(got, &sender);
    EXPECT_EQ(name, "merged");
}

TEST(NotificationCenter, RemovedObserversAreNotCalled)
{
    NotificationCenter center;
    int a = 0, b = 0;
    auto ta = center.addObserver("n", nullptr, [&](const Notification &) { ++a; });
    center.addObserver("n", nullptr, [&](const Notification &) { ++b; });
    center.post("n", nullptr);
    center.removeObserver(ta);
    center.removeObserver(ta); // twice is harmless
    center.post("n", nullptr);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
}

TEST(NotificationCenter, ObserverMayRemoveItselfDuringAPost)
{
    NotificationCenter center;
    int calls = 0;
    NotificationCenter::Token token = 0;
    token = center.addObserver("n", nullptr, [&](const Notification &) {
        ++calls;
        center.removeObserver(token);
    });
    center.post("n", nullptr);
    center.post("n", nullptr);
    EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, ObserverAddedDuringAPostRunsFromTheNextPost)
{
    NotificationCenter center;
    int late = 0;
    bool added = false;
    center.addObserver("n", nullptr, [&](const Notification &) {
        if (!added) {
            added = true;
            center.addObserver("n", nullptr, [&](const Notification &) { ++late; });
        }
    });
    center.post("n", nullptr);
    EXPECT_EQ(late, 0);
    center.post("n", nullptr);
    EXPECT_EQ(late, 1);
}

TEST(NotificationCenter, ConcurrentPostsReachEveryObserverOnce)
{
    NotificationCenter center;
    std::atomic<long> count{0};
    std::atomic<long> other{0};
    center.addObserver("tick", nullptr, [&](const Notification &) { ++count; });
    center.addObserver("tock", nullptr, [&](const Notification &) { ++other; });
    constexpr int kThreads = 8, kPosts = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&center, t] {
            for (int i = 0; i < kPosts; ++i)
                center.post((i + t) % 2 ? "tick" : "tock", nullptr);
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(count.load() + other.load(), long(kThreads) * kPosts);
    EXPECT_EQ(count.load(), long(kThreads) * kPosts / 2);
}

TEST(ScopedObserver, RemovesItsObserverAtScopeEnd)
{
    NotificationCenter center;
    int calls = 0;
    {
        ScopedObserver obs(
            "n", nullptr, [&](const Notification &) { ++calls; }, center);
        center.post("n", nullptr);
    }
    center.post("n", nullptr);
    EXPECT_EQ(calls, 1);
}

// ---------------------------------------------------------------------------------------------
// UserDefaults

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
        // Separators and a NUL inside strings must survive.
        {"string", Value(std::string("a:b;c\0d s3:", 11))},
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
    Dictionary values = every_kind();
    {
        UserDefaults d(path);
        for (auto &kv : values)
            d.setObject(kv.second, kv.first);
        ASSERT_TRUE(d.synchronize());
    }
    UserDefaults back(path);
    for (auto &kv : values)
        EXPECT_TRUE(back.objectForKey(kv.first) == kv.second) << kv.first;
    EXPECT_TRUE(back.objectForKey("absent").isNull());
    const Value data = back.objectForKey("data");
    const std::vector<uint8_t> *blob = data.bytes();
    ASSERT_NE(blob, nullptr);
    EXPECT_EQ(blob->size(), 80u);
    EXPECT_TRUE(std::signbit(back.objectForKey("negzero").doubleValue()));
}

TEST(UserDefaults, NullValueAndRemoveDeleteTheKey)
{
    TempDir dir;
    UserDefaults d(dir.file("defaults"));
    d.setObject(Value(1), "a");
    d.setObject(Value(2), "b");
    d.setObject(Value(), "a");
    d.removeObjectForKey("b");
    EXPECT_TRUE(d.objectForKey("a").isNull());
    EXPECT_TRUE(d.objectForKey("b").isNull());
}

TEST(UserDefaults, MissingOrMalformedFileIsEmpty)
{
    TempDir dir;
    UserDefaults missing(dir.file("none"));
    EXPECT_TRUE(missing.objectForKey("a").isNull());
    ASSERT_TRUE(testsupport::write_file(dir.file("bad"), {'D', '9', ':', 's'}));
    UserDefaults bad(dir.file("bad"));
    EXPECT_TRUE(bad.objectForKey("a").isNull());
}

TEST(UserDefaults, SynchronizeFailsWhenTheFolderCannotBeMade)
{
    TempDir dir;
    ASSERT_TRUE(testsupport::write_file(dir.file("file"), {1}));
    UserDefaults d(dir.file("file/sub/defaults")); // a file stands where a folder must go
    d.setObject(Value(1), "a");
    EXPECT_FALSE(d.synchronize());
}

TEST(DecodeDefaults, EncodeThenDecodeGivesTheSameValues)
{
    Dictionary values = every_kind();
    auto back = decode_defaults(encode_defaults(values));
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(Value(*back) == Value(values));
    auto empty = decode_defaults(encode_defaults({}));
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
}

TEST(DecodeDefaults, MalformedTextGivesNothing)
{
    const std::string good = encode_defaults(every_kind());
    // Every proper prefix of a valid text is malformed.
    for (size_t n = 0; n < good.size(); n += 7)
        EXPECT_FALSE(decode_defaults(good.substr(0, n)).has_value()) << n;
    const char *bad[] = {
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
    };
    for (const char *t : bad)
        EXPECT_FALSE(decode_defaults(t).has_value()) << t;
    // Nesting deeper than the parser allows is refused rather than recursing without bound.
    std::string deep;
    for (int i = 0; i < 40; ++i)
        deep += "D1:s1:k";
    deep += "i1;";
    EXPECT_FALSE(decode_defaults(deep).has_value());
}

// ---------------------------------------------------------------------------------------------
// Bundle, alerts, system

TEST(LocalizedString, DefaultsToTheKeyAndUsesTheTable)
{
    set_localized_strings({});
    EXPECT_EQ(localized_string("Error"), "Error");
    set_localized_strings({{"Error", "Erreur"}});
    EXPECT_EQ(localized_string("Error"), "Erreur");
    EXPECT_EQ(localized_string("OK"), "OK");
    set_localized_strings({});
}

TEST(PathForResource, FindsRegularFilesUnderTheRoot)
{
    TempDir dir;
    const std::string old = resources_root();
    ASSERT_TRUE(testsupport::write_file(dir.file("sRGB.icc"), {1, 2}));
    ASSERT_TRUE(testsupport::write_file(dir.file("README"), {1}));
    std::filesystem::create_directory(dir.file("folder.icc"));
    set_resources_root(dir.path());
    EXPECT_EQ(path_for_resource("sRGB", "icc"), dir.file("sRGB.icc"));
    EXPECT_EQ(path_for_resource("README", ""), dir.file("README"));
    EXPECT_EQ(path_for_resource("missing", "icc"), "");
    EXPECT_EQ(path_for_resource("folder", "icc"), "");
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

TEST(PathExtension, TakesTheLastComponentsSuffix)
{
    EXPECT_EQ(path_extension("a/b.TIF"), "TIF");
    EXPECT_EQ(path_extension("a.b/c"), "");
    EXPECT_EQ(path_extension(".profile"), "");
    EXPECT_EQ(path_extension("dir/.profile"), "");
    EXPECT_EQ(path_extension("x.tar.gz"), "gz");
    EXPECT_EQ(path_extension("name."), "");
    EXPECT_EQ(path_extension(""), "");
}

TEST(ProcessorCount, StaysWithinTheBandLimit)
{
    int n = processor_count();
    EXPECT_GE(n, 0);
    EXPECT_LE(n, 32);
}

} // namespace
