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
#include <thread>
#include <unistd.h>

namespace platform {
namespace {

using testing::bytesOf;
using testing::errorCode;
using testing::readText;
using testing::TempFolder;
using Dict = PropertyList::Dictionary;
using Array = PropertyList::Array;

constexpr PlistFormat kFormats[] = {PlistFormat::xml, PlistFormat::binary};
const char* formatName(PlistFormat format) { return format == PlistFormat::xml ? "XML" : "binary"; }

PropertyList roundTrip(const PropertyList& plist, PlistFormat format) {
    auto bytes = serializePropertyList(plist, format);
    EXPECT_TRUE(bytes) << formatName(format) << ": " << bytes.error().message;
    if (!bytes) return {};
    auto parsed = parsePropertyList(*bytes);
    EXPECT_TRUE(parsed) << formatName(format) << ": " << parsed.error().message;
    return parsed ? *parsed : PropertyList{};
}

void expectNotParsable(const std::vector<std::uint8_t>& bytes, const std::string& what) {
    const auto parsed = parsePropertyList(bytes);
    ASSERT_FALSE(parsed) << what << " parsed";
    EXPECT_EQ(parsed.error().domain, kPropertyListErrorDomain) << what;
    EXPECT_EQ(parsed.error().code, kPropertyListNotParsable) << what << ": " << parsed.error().message;
}

/// One of every kind, nested, with what encoders get wrong: negative and
/// extreme integers, escapes, non-ASCII text, empty containers, every byte.
/// XML dates hold whole seconds; binary dates keep microseconds.
PropertyList everyKind(PlistFormat format) {
    PlistData bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
    const bool whole = format == PlistFormat::xml;
    return Dict{
        {"name", "Glass Rain"},
        {"text", Array{"<&> \"quoted\" 'single'", "Grüße · 日本語 · ١٢٣ · ½", ""}},
        {"integers", Array{0, -1, 255, 65536, std::int64_t{-123456789012}, std::numeric_limits<std::int64_t>::min(),
                           std::numeric_limits<std::int64_t>::max()}},
        {"reals", Array{0.5, -2.25, 3.141592653589793, 1e300}},
        {"flags", Array{true, false}},
        {"data", Array{bytes, PlistData{}}},
        {"dates", Array{PlistDate{0.0}, PlistDate{whole ? 1000.0 : 1000.5}, PlistDate{whole ? -3600.0 : -3600.25},
                        PlistDate{whole ? 599627045.0 : 599627045.125}, PlistDate{2147483647.0}}},
        {"empty", Array{Array{}, Dict{}}},
        {"nested", Dict{{"orvane_params", Dict{{"premix", 0.5}, {"nausea", 0.0}}},
                        {"deeper", Array{Dict{{"n", -7}, {"s", "yes"}}}}}},
    };
}

TEST(PropertyList, EveryKindRoundTripsThroughBothEncodings) {
    for (auto format : kFormats) {
        EXPECT_EQ(roundTrip(everyKind(format), format), everyKind(format)) << formatName(format);
        EXPECT_EQ(roundTrip(PropertyList(-42), format), PropertyList(-42)) << "scalar root, " << formatName(format);
    }
}

TEST(PropertyList, ReadsHandWrittenXmlWithNegativeIntegers) {
    const auto parsed = parsePropertyList(bytesOf(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>minus one</key><integer>-1</integer>
	<key>min</key><integer>-9223372036854775808</integer>
	<key>orvane_params</key><dict><key>premix</key><real>0.75</real></dict>
	<key>blob</key><data>
	AAEC/w==
	</data>
	<key>when</key><date>2020-01-02T03:04:05Z</date>
	<key>on</key><true/>
</dict>
</plist>
)"));
    ASSERT_TRUE(parsed) << parsed.error().message;
    EXPECT_EQ(*parsed, PropertyList(Dict{{"minus one", -1},
                                         {"min", std::numeric_limits<std::int64_t>::min()},
                                         {"orvane_params", Dict{{"premix", 0.75}}},
                                         {"blob", PlistData{0x00, 0x01, 0x02, 0xff}},
                                         {"when", PlistDate{599627045.0}},
                                         {"on", true}}));
    const auto xml = serializePropertyList(PropertyList(-1), PlistFormat::xml);
    ASSERT_TRUE(xml);
    EXPECT_NE(std::string(xml->begin(), xml->end()).find("<integer>-1</integer>"), std::string::npos);
}

TEST(PropertyList, RealsRoundTripBitForBit) {
    std::mt19937_64 random(20240611);
    std::vector<double> values{0.1, 5e-324, std::numeric_limits<double>::max(), -std::numeric_limits<double>::infinity()};
    // Float parameters are stored widened; the binary encoder may write them
    // as 32-bit reals, which must widen back to the same double.
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 200; ++i) values.push_back(static_cast<double>(unit(random)));
    while (values.size() < 600) {
        const double value = std::bit_cast<double>(random());
        if (std::isfinite(value)) values.push_back(value);
    }
    for (auto format : kFormats) {
        const auto back = roundTrip(Array(values.begin(), values.end()), format);
        ASSERT_TRUE(back.isArray() && back.array()->size() == values.size()) << formatName(format);
        for (std::size_t i = 0; i < values.size(); ++i) {
            const double* got = (*back.array())[i].real();
            ASSERT_TRUE(got) << formatName(format) << " index " << i;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(*got), std::bit_cast<std::uint64_t>(values[i]))
                << formatName(format) << " index " << i << ": wrote " << values[i] << ", read " << *got;
        }
    }
    EXPECT_TRUE(std::signbit(*roundTrip(-0.0, PlistFormat::binary).real())) << "binary keeps the sign of zero";
}

TEST(PropertyList, BadInputIsRefused) {
    expectNotParsable({}, "empty input");
    expectNotParsable(bytesOf("garbage"), "garbage");
    expectNotParsable(bytesOf("bplist15\x01\x02"), "binary of another version");
    expectNotParsable(bytesOf("<plist><dict><key>a</key><string>b"), "truncated XML");

    const auto full = *serializePropertyList(everyKind(PlistFormat::binary), PlistFormat::binary);
    for (std::size_t length = 1; length < full.size(); ++length) {
        expectNotParsable({full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length)},
                          "binary truncated to " + std::to_string(length) + " bytes");
    }

    // A NUL inside a binary key (ASCII and UTF-16) would make libplist abort.
    for (const std::string key : {"keyXkey", "cl\u00e9Xcl\u00e9"}) {
        auto bytes = *serializePropertyList(Dict{{key, "value"}}, PlistFormat::binary);
        const bool utf16 = key.size() != 7;
        const std::vector<std::uint8_t> x = utf16 ? std::vector<std::uint8_t>{0, 'X'} : std::vector<std::uint8_t>{'X'};
        const auto at = std::search(bytes.begin(), bytes.end(), x.begin(), x.end());
        ASSERT_NE(at, bytes.end()) << key;
        std::fill(at, at + static_cast<std::ptrdiff_t>(x.size()), 0);
        expectNotParsable(bytes, "binary key with a NUL, " + std::string(utf16 ? "UTF-16" : "ASCII"));
    }

    // Random damage may happen to parse, but must not crash or leak.
    std::mt19937 random(7);
    for (int trial = 0; trial < 2000; ++trial) {
        auto damaged = full;
        for (int hits = 0; hits < 3; ++hits) damaged[8 + random() % (damaged.size() - 8)] = static_cast<std::uint8_t>(random());
        (void)parsePropertyList(damaged);
    }
}

/// A binary property list of `count` arrays, each holding `refs` references
/// to the next; the last is empty, or refers back to the first for a cycle.
std::vector<std::uint8_t> chainedArrays(std::uint32_t count, int refs, bool cycle = false) {
    std::vector<std::uint8_t> out = bytesOf("bplist00");
    auto append = [&out](std::uint64_t value, int size) {
        for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
    };
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t i = 0; i < count; ++i) {
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        const bool last = i + 1 == count;
        const int children = last ? (cycle ? 1 : 0) : refs;
        out.push_back(static_cast<std::uint8_t>(0xa0 | children));
        for (int r = 0; r < children; ++r) append(last ? 0 : i + 1, 4);
    }
    const std::size_t table = out.size();
    for (auto offset : offsets) append(offset, 4);
    out.insert(out.end(), 6, 0);
    out.push_back(4); // offset size
    out.push_back(4); // reference size
    append(count, 8);
    append(0, 8); // root
    append(table, 8);
    return out;
}

PropertyList nestedArrays(int levels) {
    PropertyList plist(Array{});
    for (int i = 1; i < levels; ++i) plist = PropertyList(Array{plist});
    return plist;
}

TEST(PropertyList, NestingAndSizeHaveLimits) {
    for (auto format : kFormats) {
        EXPECT_EQ(roundTrip(nestedArrays(512), format), nestedArrays(512)) << formatName(format);
        EXPECT_FALSE(serializePropertyList(nestedArrays(513), format)) << formatName(format);
    }
    EXPECT_TRUE(parsePropertyList(chainedArrays(512, 1)));
    EXPECT_TRUE(parsePropertyList(chainedArrays(15, 2))) << "shared objects are fine (65535 values)";

    // Inputs that would exhaust libplist's stack or memory, and a cycle.
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
    const std::pair<const char*, PropertyList> cases[]{
        {"NUL in a string", std::string("a\0b", 3)},
        {"NUL in a key", Dict{{std::string("k\0", 2), 1}}},
        {"date after 2069", PlistDate{3e9}},
        {"date before 1932", PlistDate{-3e9}},
        {"NaN date", PlistDate{std::nan("")}},
    };
    for (const auto& [what, plist] : cases) {
        for (auto format : kFormats) {
            const auto bytes = serializePropertyList(plist, format);
            ASSERT_FALSE(bytes) << what << ", " << formatName(format);
            EXPECT_EQ(bytes.error().code, kPropertyListNotEncodable) << what;
        }
    }
}

TEST(PropertyListFile, WritesReadsAndNamesTheFileInErrors) {
    TempFolder folder;
    for (auto format : kFormats) {
        const auto file = folder.path() / (std::string("state-") + formatName(format) + ".plist");
        ASSERT_TRUE(writePropertyListFile(file, everyKind(format), format));
        EXPECT_EQ(readPropertyListFile(file), everyKind(format)) << formatName(format);
        EXPECT_EQ(readText(file).starts_with("bplist00"), format == PlistFormat::binary);
    }
    const auto target = folder.path() / "preset.aupreset";
    ASSERT_TRUE(writePropertyListFile(target, "old"));
    ASSERT_TRUE(writePropertyListFile(target, "new", PlistFormat::binary));
    EXPECT_EQ(readPropertyListFile(target), PropertyList("new"));
    EXPECT_EQ(folder.namesIn(), (std::vector<std::string>{"preset.aupreset", "state-XML.plist", "state-binary.plist"}))
        << "no temporary left";

    const auto missing = readPropertyListFile(folder.path() / "missing.plist");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().domain, kPosixErrorDomain);
    EXPECT_EQ(missing.error().code, ENOENT);
    EXPECT_NE(missing.error().message.find("missing.plist\": No such file"), std::string::npos) << missing.error().message;
    EXPECT_EQ(errorCode(readPropertyListFile(folder.path())), EISDIR);
    const auto garbage = readPropertyListFile(folder.write("bad.plist", "this is not a plist"));
    ASSERT_FALSE(garbage);
    EXPECT_EQ(garbage.error().code, kPropertyListNotParsable);
    EXPECT_NE(garbage.error().message.find("bad.plist\": not a property list"), std::string::npos) << garbage.error().message;
}

TEST(PropertyListFile, FailedWritesLeaveNothingBehind) {
    TempFolder folder;
    const auto target = folder.write("keep.plist", "original");
    folder.write("occupied/inside.txt", "x");
    const std::pair<std::filesystem::path, int> failures[]{
        {folder.path() / "absent/x.plist", ENOENT},  // no such folder
        {target / "x.plist", ENOTDIR},               // the folder is a file
        {folder.path() / "occupied", EISDIR},        // the rename fails after the write
    };
    for (const auto& [path, code] : failures) {
        const auto result = writePropertyListFile(path, 1);
        ASSERT_FALSE(result) << path;
        EXPECT_EQ(result.error().domain, kPosixErrorDomain) << path;
        EXPECT_EQ(result.error().code, code) << path << ": " << result.error().message;
        EXPECT_NE(result.error().message.find(path.string()), std::string::npos) << result.error().message;
    }
    EXPECT_EQ(errorCode(writePropertyListFile(target, PlistDate{1e12})), kPropertyListNotEncodable);
    if (::geteuid() != 0) { // root writes into read-only folders
        std::filesystem::permissions(folder.path(), std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
        EXPECT_EQ(errorCode(writePropertyListFile(target, 1)), EACCES);
        std::filesystem::permissions(folder.path(), std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
    }
    EXPECT_EQ(readText(target), "original");
    EXPECT_EQ(folder.namesIn(), (std::vector<std::string>{"keep.plist", "occupied"}));
    EXPECT_EQ(folder.namesIn("occupied"), std::vector<std::string>{"inside.txt"});
}

TEST(PropertyListFile, ReadersNeverSeeAHalfWrittenFile) {
    TempFolder folder;
    const auto target = folder.path() / "state.plist";
    ASSERT_TRUE(writePropertyListFile(target, Dict{{"generation", -1}}));
    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        while (!stop) {
            const auto plist = readPropertyListFile(target);
            if (!plist || !plist->find("generation")) ++badReads;
        }
    });
    for (int generation = 0; generation < 100; ++generation) {
        auto plist = everyKind(PlistFormat::xml);
        plist.dictionary()->emplace("generation", generation);
        EXPECT_TRUE(writePropertyListFile(target, plist, kFormats[generation % 2]));
    }
    stop = true;
    reader.join();
    EXPECT_EQ(badReads.load(), 0);
    EXPECT_EQ(*readPropertyListFile(target)->find("generation"), PropertyList(99));
    EXPECT_EQ(folder.namesIn(), std::vector<std::string>{"state.plist"});
}

} // namespace
} // namespace platform
