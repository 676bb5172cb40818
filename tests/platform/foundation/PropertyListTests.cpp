#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyList.h"
#include "tests/platform/foundation/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <limits>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

using testing::bytesOf;
using testing::readText;
using testing::TempFolder;

constexpr std::string_view kBinaryMagicBytes = "bplist00";

const char* formatName(PlistFormat format) { return format == PlistFormat::xml ? "XML" : "binary"; }

PropertyList roundTrip(const PropertyList& plist, PlistFormat format) {
    auto bytes = serializePropertyList(plist, format);
    EXPECT_TRUE(bytes.has_value()) << formatName(format) << ": " << bytes.error().message;
    if (!bytes) return {};
    auto parsed = parsePropertyList(*bytes);
    EXPECT_TRUE(parsed.has_value()) << formatName(format) << ": " << parsed.error().message;
    return parsed ? *parsed : PropertyList{};
}

PlistData everyByte() {
    PlistData bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
    return bytes;
}

/// One of every kind, nested, with the values that encoders get wrong:
/// negative and extreme integers, escapes, non-ASCII text, empty containers.
PropertyList everyKind(PlistDate date) {
    PropertyList::Dictionary params{{"premix", 0.5}, {"nausea", 0.0}, {"gravitas", 1.0}};
    PropertyList::Array integers{std::int64_t{0},
                                 std::int64_t{-1},
                                 std::int64_t{1},
                                 std::int64_t{-123456789012},
                                 std::int64_t{255},
                                 std::int64_t{65536},
                                 std::numeric_limits<std::int64_t>::min(),
                                 std::numeric_limits<std::int64_t>::max()};
    PropertyList::Dictionary nested{
        {"level2", PropertyList::Dictionary{{"level3", PropertyList::Array{PropertyList::Dictionary{
                                                             {"deep", "yes"}, {"n", -7}}}}}}};
    return PropertyList::Dictionary{
        {"name", "Glass Rain"},
        {"escapes", "<&> \"quoted\" 'single'"},
        {"unicode", "Grüße · 日本語 · ١٢٣ · ½"},
        {"empty string", ""},
        {"integers", integers},
        {"reals", PropertyList::Array{0.5, -2.25, 3.141592653589793, 1e300, -1e-300}},
        {"flags", PropertyList::Array{true, false}},
        {"data", everyByte()},
        {"empty data", PlistData{}},
        {"date", date},
        {"empty array", PropertyList::Array{}},
        {"empty dictionary", PropertyList::Dictionary{}},
        {"orvane_params", params},
        {"nested", nested},
    };
}

TEST(PropertyList, EveryKindRoundTripsThroughBothEncodings) {
    // XML dates hold whole seconds; binary dates keep the fraction.
    const auto xmlPlist = everyKind(PlistDate{599627045.0});
    EXPECT_EQ(roundTrip(xmlPlist, PlistFormat::xml), xmlPlist);
    const auto binaryPlist = everyKind(PlistDate{599627045.5});
    EXPECT_EQ(roundTrip(binaryPlist, PlistFormat::binary), binaryPlist);

    // A scalar may be the root too.
    for (auto format : {PlistFormat::xml, PlistFormat::binary}) {
        EXPECT_EQ(roundTrip(PropertyList(std::int64_t{-42}), format), PropertyList(std::int64_t{-42}))
            << formatName(format);
        EXPECT_EQ(roundTrip(PropertyList("alone"), format), PropertyList("alone")) << formatName(format);
    }
}

TEST(PropertyList, NegativeIntegersComeBackNegative) {
    const auto parsed = parsePropertyList(bytesOf(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>"
        "<integer>-1</integer><integer>-9223372036854775808</integer><integer>42</integer>"
        "</array></plist>"));
    ASSERT_TRUE(parsed) << parsed.error().message;
    ASSERT_TRUE(parsed->isArray());
    const auto& items = *parsed->array();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0], PropertyList(std::int64_t{-1}));
    EXPECT_EQ(items[1], PropertyList(std::numeric_limits<std::int64_t>::min()));
    EXPECT_EQ(items[2], PropertyList(std::int64_t{42}));

    const auto xml = serializePropertyList(PropertyList(std::int64_t{-1}), PlistFormat::xml);
    ASSERT_TRUE(xml);
    EXPECT_NE(std::string(xml->begin(), xml->end()).find("<integer>-1</integer>"), std::string::npos);
}

TEST(PropertyList, RealsRoundTripBitForBit) {
    std::mt19937_64 random(20240611);
    std::vector<double> values{0.5, 0.1, 1.0 / 3.0, 5e-324, std::numeric_limits<double>::max(),
                               std::numeric_limits<double>::min(), -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::infinity()};
    // float parameters are stored widened; the encoder may write them as
    // 32-bit reals, which must widen back to the same double.
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 200; ++i) values.push_back(static_cast<double>(unit(random)));
    while (values.size() < 600) {
        const double value = std::bit_cast<double>(random());
        if (std::isfinite(value)) values.push_back(value);
    }

    for (auto format : {PlistFormat::xml, PlistFormat::binary}) {
        PropertyList::Array items(values.begin(), values.end());
        const auto back = roundTrip(PropertyList(items), format);
        ASSERT_TRUE(back.isArray()) << formatName(format);
        ASSERT_EQ(back.array()->size(), values.size()) << formatName(format);
        for (std::size_t i = 0; i < values.size(); ++i) {
            const double* got = (*back.array())[i].real();
            ASSERT_NE(got, nullptr) << formatName(format) << " index " << i;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(*got), std::bit_cast<std::uint64_t>(values[i]))
                << formatName(format) << " index " << i << ": wrote " << values[i] << ", read " << *got;
        }
    }
    // The binary encoding keeps the sign of zero (the XML writer does not).
    const auto zero = roundTrip(PropertyList(-0.0), PlistFormat::binary);
    ASSERT_TRUE(zero.isReal());
    EXPECT_TRUE(std::signbit(*zero.real()));
}

TEST(PropertyList, DatesKeepTheirValue) {
    // Binary dates keep microseconds (fractions chosen exact in binary),
    // XML dates whole seconds; both before and after the reference date.
    for (double seconds : {0.0, 1000.5, -3600.25, 599627045.125, -86400.0 * 365 - 0.5, 2147483647.0}) {
        const PropertyList date(PlistDate{seconds});
        EXPECT_EQ(roundTrip(date, PlistFormat::binary), date) << "binary, " << seconds << " s";
    }
    for (double seconds : {0.0, 1000.0, -3600.0, 599627045.0, -86400.0 * 365}) {
        const PropertyList date(PlistDate{seconds});
        EXPECT_EQ(roundTrip(date, PlistFormat::xml), date) << "XML, " << seconds << " s";
    }
    const auto parsed = parsePropertyList(bytesOf("<plist><date>2020-01-02T03:04:05Z</date></plist>"));
    ASSERT_TRUE(parsed) << parsed.error().message;
    EXPECT_EQ(*parsed, PropertyList(PlistDate{599627045.0}));
}

TEST(PropertyList, ReadsAHandWrittenDocument) {
    const auto parsed = parsePropertyList(bytesOf(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>name</key>
	<string>Glass Rain</string>
	<key>orvane_params</key>
	<dict>
		<key>premix</key>
		<real>0.75</real>
		<key>granularity</key>
		<integer>1</integer>
	</dict>
	<key>version</key>
	<integer>0</integer>
	<key>blob</key>
	<data>
	AAEC/w==
	</data>
	<key>on</key>
	<true/>
</dict>
</plist>
)"));
    ASSERT_TRUE(parsed) << parsed.error().message;
    EXPECT_EQ(*parsed->find("name"), PropertyList("Glass Rain"));
    const auto* params = parsed->find("orvane_params");
    ASSERT_NE(params, nullptr);
    EXPECT_EQ(params->find("premix")->number(), 0.75);
    EXPECT_EQ(params->find("granularity")->number(), 1.0);
    EXPECT_EQ(*parsed->find("blob"), PropertyList(PlistData{0x00, 0x01, 0x02, 0xff}));
    EXPECT_EQ(*parsed->find("on"), PropertyList(true));
}

void expectNotParsable(const std::vector<std::uint8_t>& bytes, const std::string& what) {
    const auto parsed = parsePropertyList(bytes);
    ASSERT_FALSE(parsed.has_value()) << what << " parsed";
    EXPECT_EQ(parsed.error().domain, kPropertyListErrorDomain) << what;
    EXPECT_EQ(parsed.error().code, kPropertyListNotParsable) << what;
    EXPECT_NE(parsed.error().message.find("not a property list"), std::string::npos)
        << what << ": " << parsed.error().message;
}

TEST(PropertyList, BadInputIsRefused) {
    expectNotParsable({}, "empty input");
    expectNotParsable(bytesOf("garbage"), "garbage");
    expectNotParsable(bytesOf("bplist15\x01\x02"), "binary of another version");
    expectNotParsable(bytesOf("<plist><dict><key>a</key><string>b"), "truncated XML");

    // Every proper prefix of a binary property list is refused, none crashes.
    const auto full = serializePropertyList(everyKind(PlistDate{12.5}), PlistFormat::binary);
    ASSERT_TRUE(full);
    for (std::size_t length = 1; length < full->size(); ++length) {
        expectNotParsable({full->begin(), full->begin() + static_cast<std::ptrdiff_t>(length)},
                          "binary truncated to " + std::to_string(length) + " bytes");
    }

    // A NUL inside a key or string of a binary list (ASCII and UTF-16 alike)
    // is refused; the encoder never writes one.
    for (const std::string key : {"keyXkey", "cl\u00e9Xcl\u00e9"}) {
        auto bytes = *serializePropertyList(PropertyList::Dictionary{{key, "value"}}, PlistFormat::binary);
        const bool utf16 = key.size() != 7;
        const std::vector<std::uint8_t> x = utf16 ? std::vector<std::uint8_t>{0x00, 'X'} : std::vector<std::uint8_t>{'X'};
        auto at = std::search(bytes.begin(), bytes.end(), x.begin(), x.end());
        ASSERT_NE(at, bytes.end()) << key;
        std::fill(at, at + static_cast<std::ptrdiff_t>(x.size()), 0);
        expectNotParsable(bytes, "binary key with a NUL, " + std::string(utf16 ? "UTF-16" : "ASCII"));
    }

    // Random damage may happen to parse, but must not crash or leak.
    std::mt19937 random(7);
    for (int trial = 0; trial < 2000; ++trial) {
        auto damaged = *full;
        for (int hits = 0; hits < 3; ++hits) {
            damaged[8 + random() % (damaged.size() - 8)] = static_cast<std::uint8_t>(random());
        }
        (void)parsePropertyList(damaged);
    }
}

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int size) {
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

/// A binary property list of `count` arrays, each holding `refs` references
/// to the next; the last is empty, or refers back to the first for a cycle.
std::vector<std::uint8_t> chainedArrays(std::uint32_t count, int refs, bool cycle = false) {
    std::vector<std::uint8_t> out(kBinaryMagicBytes.begin(), kBinaryMagicBytes.end());
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t i = 0; i < count; ++i) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        const bool last = i + 1 == count;
        const int children = last ? (cycle ? 1 : 0) : refs;
        out.push_back(static_cast<std::uint8_t>(0xa0 | children));
        for (int r = 0; r < children; ++r) appendBigEndian(out, last ? 0 : i + 1, 4);
    }
    const std::size_t table = out.size();
    for (auto offset : offsets) appendBigEndian(out, offset, 4);
    out.insert(out.end(), 6, 0);
    out.push_back(4); // offset size
    out.push_back(4); // reference size
    appendBigEndian(out, count, 8);
    appendBigEndian(out, 0, 8); // root
    appendBigEndian(out, table, 8);
    return out;
}

PropertyList nestedArrays(int levels) {
    PropertyList plist(PropertyList::Array{});
    for (int i = 1; i < levels; ++i) plist = PropertyList(PropertyList::Array{plist});
    return plist;
}

TEST(PropertyList, NestingAndSizeHaveLimits) {
    // 512 levels are fine both ways.
    const auto deepest = nestedArrays(512);
    for (auto format : {PlistFormat::xml, PlistFormat::binary}) {
        EXPECT_EQ(roundTrip(deepest, format), deepest) << formatName(format);
        EXPECT_FALSE(serializePropertyList(nestedArrays(513), format)) << formatName(format);
    }
    EXPECT_TRUE(parsePropertyList(chainedArrays(512, 1)));
    EXPECT_TRUE(parsePropertyList(chainedArrays(15, 2))) << "shared objects are fine (65535 values)";

    // Nesting that would exhaust the stack, a list that refers to the next one
    // twice forty times over (2^40 values once expanded), and a cycle.
    expectNotParsable(chainedArrays(513, 1), "513 nested binary arrays");
    expectNotParsable(chainedArrays(200'000, 1), "200000 nested binary arrays");
    expectNotParsable(chainedArrays(40, 2), "binary arrays sharing their elements 2^40 times");
    expectNotParsable(chainedArrays(3, 1, true), "binary array that contains itself");
    std::string xml = "<plist>";
    for (int i = 0; i < 200'000; ++i) xml += "<array>";
    for (int i = 0; i < 200'000; ++i) xml += "</array>";
    expectNotParsable(bytesOf(xml + "</plist>"), "200000 nested XML arrays");
}

TEST(PropertyList, UnencodableValuesAreRefused) {
    const std::vector<std::pair<std::string, PropertyList>> cases{
        {"NUL in a string", PropertyList(std::string("a\0b", 3))},
        {"NUL in a key", PropertyList(PropertyList::Dictionary{{std::string("k\0", 2), 1}})},
        {"date after 2069", PropertyList(PlistDate{3e9})},
        {"date before 1932", PropertyList(PlistDate{-3e9})},
        {"NaN date", PropertyList(PlistDate{std::nan("")})},
    };
    for (const auto& [what, plist] : cases) {
        for (auto format : {PlistFormat::xml, PlistFormat::binary}) {
            const auto bytes = serializePropertyList(plist, format);
            ASSERT_FALSE(bytes.has_value()) << what << ", " << formatName(format);
            EXPECT_EQ(bytes.error().domain, kPropertyListErrorDomain) << what;
            EXPECT_EQ(bytes.error().code, kPropertyListNotEncodable) << what;
        }
    }
}

TEST(PropertyListFile, WritesAndReadsBothEncodings) {
    TempFolder folder;
    const auto plist = everyKind(PlistDate{100.0});
    for (auto format : {PlistFormat::xml, PlistFormat::binary}) {
        const auto file = folder.path() / (std::string("state-") + formatName(format) + ".plist");
        ASSERT_TRUE(writePropertyListFile(file, plist, format));
        const auto back = readPropertyListFile(file);
        ASSERT_TRUE(back) << back.error().message;
        EXPECT_EQ(*back, plist) << formatName(format);
        EXPECT_EQ(readText(file).starts_with("bplist00"), format == PlistFormat::binary);
    }
    // Replacing a file leaves exactly the new content and no temporary.
    const auto target = folder.path() / "preset.aupreset";
    ASSERT_TRUE(writePropertyListFile(target, PropertyList("old")));
    ASSERT_TRUE(writePropertyListFile(target, PropertyList("new"), PlistFormat::binary));
    EXPECT_EQ(*readPropertyListFile(target), PropertyList("new"));
    EXPECT_EQ(folder.namesIn(), (std::vector<std::string>{"preset.aupreset", "state-XML.plist",
                                                          "state-binary.plist"}));
}

TEST(PropertyListFile, ReadErrorsNameTheFile) {
    TempFolder folder;
    const auto missing = readPropertyListFile(folder.path() / "missing.plist");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().domain, kPosixErrorDomain);
    EXPECT_EQ(missing.error().code, ENOENT);
    EXPECT_NE(missing.error().message.find("missing.plist"), std::string::npos) << missing.error().message;
    EXPECT_NE(missing.error().message.find("No such file"), std::string::npos) << missing.error().message;

    const auto aFolder = readPropertyListFile(folder.makeFolder("presets"));
    ASSERT_FALSE(aFolder);
    EXPECT_EQ(aFolder.error().code, EISDIR);

    const auto garbage = readPropertyListFile(folder.write("bad.plist", "this is not a plist"));
    ASSERT_FALSE(garbage);
    EXPECT_EQ(garbage.error().domain, kPropertyListErrorDomain);
    EXPECT_NE(garbage.error().message.find("bad.plist"), std::string::npos) << garbage.error().message;
    EXPECT_NE(garbage.error().message.find("not a property list"), std::string::npos);

    const auto empty = readPropertyListFile(folder.write("empty.plist", ""));
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().code, kPropertyListNotParsable);
}

TEST(PropertyListFile, FailedWritesLeaveNothingBehind) {
    TempFolder folder;
    const auto target = folder.write("keep.plist", "original");

    // The folder does not exist.
    const auto noFolder = writePropertyListFile(folder.path() / "absent" / "x.plist", PropertyList(1));
    ASSERT_FALSE(noFolder);
    EXPECT_EQ(noFolder.error().domain, kPosixErrorDomain);
    EXPECT_EQ(noFolder.error().code, ENOENT);
    EXPECT_NE(noFolder.error().message.find("x.plist"), std::string::npos) << noFolder.error().message;

    // The "folder" is a file.
    const auto fileAsFolder = writePropertyListFile(target / "x.plist", PropertyList(1));
    ASSERT_FALSE(fileAsFolder);
    EXPECT_EQ(fileAsFolder.error().code, ENOTDIR);

    // The target is a folder with contents: the rename fails after the write.
    folder.write("occupied/inside.txt", "x");
    const auto overFolder = writePropertyListFile(folder.path() / "occupied", PropertyList(1));
    ASSERT_FALSE(overFolder);
    EXPECT_EQ(overFolder.error().domain, kPosixErrorDomain);
    EXPECT_EQ(folder.namesIn("occupied"), std::vector<std::string>{"inside.txt"});

    // An unencodable value does not touch the target.
    const auto unencodable = writePropertyListFile(target, PropertyList(PlistDate{1e12}));
    ASSERT_FALSE(unencodable);
    EXPECT_EQ(unencodable.error().code, kPropertyListNotEncodable);
    EXPECT_NE(unencodable.error().message.find("keep.plist"), std::string::npos);

    EXPECT_EQ(readText(target), "original");
    EXPECT_EQ(folder.namesIn(), (std::vector<std::string>{"keep.plist", "occupied"}));
}

TEST(PropertyListFile, UnwritableFolderLeavesTargetUntouched) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    TempFolder folder;
    const auto locked = folder.makeFolder("locked");
    const auto target = folder.write("locked/keep.plist", "original");
    std::filesystem::permissions(locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const auto result = writePropertyListFile(target, PropertyList(1));
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, EACCES);
    EXPECT_EQ(readText(target), "original");
    EXPECT_EQ(folder.namesIn("locked"), std::vector<std::string>{"keep.plist"});
}

TEST(PropertyListFile, ReadersNeverSeeAHalfWrittenFile) {
    TempFolder folder;
    const auto target = folder.path() / "state.plist";
    auto first = everyKind(PlistDate{0.0});
    first.dictionary()->emplace("generation", -1);
    ASSERT_TRUE(writePropertyListFile(target, first));

    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            const auto plist = readPropertyListFile(target);
            if (!plist || !plist->find("generation")) badReads.fetch_add(1, std::memory_order_relaxed);
        }
    });
    for (int generation = 0; generation < 100; ++generation) {
        auto plist = everyKind(PlistDate{0.0});
        plist.dictionary()->emplace("generation", generation);
        EXPECT_TRUE(writePropertyListFile(target, plist, generation % 2 ? PlistFormat::binary : PlistFormat::xml));
    }
    stop = true;
    reader.join();
    EXPECT_EQ(badReads.load(), 0);
    const auto last = readPropertyListFile(target);
    ASSERT_TRUE(last);
    EXPECT_EQ(*last->find("generation"), PropertyList(99));
    EXPECT_EQ(folder.namesIn(), std::vector<std::string>{"state.plist"});
}

} // namespace
} // namespace platform
