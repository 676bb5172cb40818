#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyList.h"
#include "tests/platform/foundation/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

using namespace platform;

namespace {

using Dict = PropertyList::Dictionary;
using Array = PropertyList::Array;
using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

/// Appends `value` big-endian in `size` bytes, as binary property lists hold numbers.
void put(Bytes& to, std::uint64_t value, int size) {
    while (size-- > 0) to.push_back(static_cast<std::uint8_t>(value >> (8 * size)));
}

TEST(PropertyList, EveryKindRoundTripsThroughBothEncodings) {
    const std::pair<const char*, PropertyList> kinds[]{
        // 51 characters: a binary length byte that reads as a date's marker.
        {"strings", Array{"<&> \"quoted\" 'single'", "Grüße · 日本語 · ١٢٣ · ½", "", std::string(51, 'x')}},
        {"integers", Array{0, -1, 65536, std::int64_t{-123456789012}, std::numeric_limits<std::int64_t>::min(),
                           std::numeric_limits<std::int64_t>::max()}},
        // Stored parameters are compared exactly: == tells these apart bit for bit.
        {"reals", Array{0.1, 1.0 / 3, 5e-324, std::numeric_limits<double>::max(), -HUGE_VAL, double{0.7f}}},
        {"booleans", Array{true, false}},
        {"data", Array{PlistData{0, 1, 0x7f, 0x80, 0xff}, PlistData{}}},
        {"dates", Array{PlistDate{0.0}, PlistDate{-3600.0}, PlistDate{599627045.0}}}, // XML keeps whole seconds
        {"nested and empty", Dict{{"params", Dict{{"premix", 0.5}}}, {"list", Array{Dict{{"n", -7}}, Array{}, Dict{}}}}},
    };
    for (auto format : {PlistFormat::xml, PlistFormat::binary}) {
        for (const auto& [kind, plist] : kinds) {
            const auto bytes = serializePropertyList(plist, format);
            ASSERT_TRUE(bytes) << kind << ": " << bytes.error().message;
            EXPECT_EQ(parsePropertyList(*bytes), plist) << kind << ", format " << static_cast<int>(format);
        }
    }
    EXPECT_TRUE(std::signbit(*parsePropertyList(*serializePropertyList(-0.0, PlistFormat::binary))->real()));
    // Binary dates keep their fraction, before 2001 as after; less than a
    // second before, the date cannot be read back the right way round and is
    // refused instead (fuzzing found it turned into a date after 2001).
    for (double seconds : {-4.75, -3600.5, 12.75}) {
        const PropertyList date = PlistDate{seconds};
        EXPECT_EQ(parsePropertyList(*serializePropertyList(date, PlistFormat::binary)), date) << seconds;
    }
    EXPECT_EQ(serializePropertyList(PlistDate{-0.25}, PlistFormat::binary).error().code, kPropertyListNotEncodable);
    // Dates hold whole microseconds; once read, they come back unchanged from
    // every further trip (fuzzing found one that lost a microsecond each time).
    for (double seconds : {-139264.00048828125, 599627045.123457, 0.000123, 86400.999999}) {
        const auto once = parsePropertyList(*serializePropertyList(PlistDate{seconds}, PlistFormat::binary));
        ASSERT_TRUE(once) << seconds;
        EXPECT_NEAR(std::get<PlistDate>(once->value()).secondsSinceReferenceDate, seconds, 1e-6);
        EXPECT_EQ(parsePropertyList(*serializePropertyList(*once, PlistFormat::binary)), *once) << seconds;
    }
    const Bytes quarterBefore{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0x33, 0xbf, 0xd0, 0, 0, 0, 0, 0, 0, 8,
                              0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 17};
    EXPECT_EQ(parsePropertyList(quarterBefore).error().code, kPropertyListNotParsable);
}

/// A binary property list of `count` arrays, each holding `refs` references
/// to the next; the last is empty, or holds the first for a cycle.
Bytes chainedArrays(std::uint32_t count, int refs, bool cycle = false) {
    Bytes out = bytesOf("bplist00"), offsets;
    for (std::uint32_t i = 1; i <= count; ++i) {
        put(offsets, out.size(), 4);
        const int children = i < count ? refs : int{cycle};
        out.push_back(static_cast<std::uint8_t>(0xa0 | children));
        for (int r = 0; r < children; ++r) put(out, i % count, 4);
    }
    const std::uint64_t table = out.size();
    out.insert(out.end(), offsets.begin(), offsets.end());
    // Trailer: offset and reference sizes, object count, root, table offset.
    for (std::uint64_t field : {0x0404ul, std::uint64_t{count}, 0ul, table}) put(out, field, 8);
    return out;
}

TEST(PropertyList, BadInputIsRefused) {
    // A NUL inside a binary key (ASCII or UTF-16) would make libplist abort.
    auto asciiNul = *serializePropertyList(Dict{{"keyXkey", 0}}, PlistFormat::binary);
    auto utf16Nul = *serializePropertyList(Dict{{"cl\u00e9Xcl\u00e9", 0}}, PlistFormat::binary);
    std::ranges::fill(std::ranges::search(asciiNul, bytesOf("X")), 0);
    std::ranges::fill(std::ranges::search(utf16Nul, Bytes{0, 'X'}), 0);
    std::string deepXml = "<plist>";
    for (int i = 0; i < 200'000; ++i) deepXml += "<array>";
    std::vector<std::pair<std::string, Bytes>> cases{
        {"empty", {}},
        {"garbage", bytesOf("garbage")},
        {"truncated XML", bytesOf("<plist><dict><key>a</key><string>b")},
        {"200000 nested XML arrays", bytesOf(deepXml)},
        {"binary arrays sharing elements 2^40 times", chainedArrays(40, 2)},
        {"binary array that holds itself", chainedArrays(1, 1, true)},
        {"binary key with a NUL, ASCII", asciiNul},
        {"binary key with a NUL, UTF-16", utf16Nul},
        // XML that is not UTF-8 text: saved again, it could not be read back.
        {"XML key that is not UTF-8", bytesOf("<plist><dict><key>\xC3name</key><string>b</string></dict></plist>")},
        {"XML string that is not UTF-8", bytesOf("<plist><string>\xFF\xFE</string></plist>")},
        // Numbers that are not numbers: libplist would read 0.
        {"XML real that is a word", bytesOf("<plist><dict><key>a</key><real>banana</real></dict></plist>")},
        {"XML real with two signs", bytesOf("<plist><real>--1</real></plist>")},
        {"XML integer with a point", bytesOf("<plist><integer>1.5</integer></plist>")},
        {"XML integer that is empty", bytesOf("<plist><integer></integer></plist>")},
        // Dates beyond 32-bit seconds: libplist would read December 1932.
        {"XML date in 1900", bytesOf("<plist><date>1900-01-01T00:00:00Z</date></plist>")},
        {"binary date in 1754", Bytes{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0x33, 0xc1, 0xfc, 0xff, 0xff, 0, 0, 0x2e, 0, 8,
                                      0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 17}},
    };
    const auto full = *serializePropertyList(Dict{{"a", Array{1, -2.5, "text", PlistData{7}}}}, PlistFormat::binary);
    for (std::size_t length = 1; length < full.size(); ++length) {
        cases.emplace_back("binary cut to " + std::to_string(length), Bytes(full.begin(), full.begin() + length));
    }
    for (const auto& [what, bytes] : cases) {
        const auto parsed = parsePropertyList(bytes);
        EXPECT_EQ(parsed ? 0 : parsed.error().code, kPropertyListNotParsable) << what;
    }
    const auto numbers = parsePropertyList(bytesOf(
        "<plist><array><real> -2.5e3 </real><real>+infinity</real><real>nan</real><integer>-0x1F</integer>"
        "<integer>42</integer></array></plist>"));
    ASSERT_TRUE(numbers) << "numbers in every spelling the format allows";
    EXPECT_EQ(numbers->array()->at(0), PropertyList(-2500.0));
    EXPECT_EQ(numbers->array()->at(4), PropertyList(42));
    EXPECT_TRUE(parsePropertyList(chainedArrays(15, 2))) << "shared objects are fine (65535 values)";
}

/// A binary property list: an array of `outer` references to one array of
/// `inner` references to one integer, so it expands to 1 + outer x (1 + inner)
/// values.
Bytes sharedArrays(std::uint32_t outer, std::uint32_t inner) {
    Bytes out = bytesOf("bplist00"), offsets;
    for (const auto& [count, child] : {std::pair{outer, 1u}, std::pair{inner, 2u}}) {
        put(offsets, out.size(), 4);
        out.insert(out.end(), {0xaf, 0x12}); // an array whose count follows as a 4-byte integer
        put(out, count, 4);
        for (std::uint32_t r = 0; r < count; ++r) put(out, child, 4);
    }
    put(offsets, out.size(), 4);
    out.insert(out.end(), {0x10, 0x07});
    const std::uint64_t table = out.size();
    out.insert(out.end(), offsets.begin(), offsets.end());
    for (std::uint64_t field : {0x0404ul, 3ul, 0ul, table}) put(out, field, 8);
    return out;
}

/// `levels` arrays in one another, as XML.
Bytes xmlArrays(int levels) {
    std::string xml = "<plist>";
    for (int i = 0; i < levels; ++i) xml += "<array>";
    for (int i = 0; i < levels; ++i) xml += "</array>";
    return bytesOf(xml + "</plist>");
}

TEST(PropertyList, EveryLimitHoldsJustInsideAndRefusesJustOutside) {
    const struct {
        const char* what;
        Bytes bytes;
        bool accepted;
    } parses[] = {
        {"512 nested XML arrays", xmlArrays(512), true},
        {"513 nested XML arrays", xmlArrays(513), false},
        {"512 nested binary arrays", chainedArrays(512, 1), true},
        {"513 nested binary arrays", chainedArrays(513, 1), false},
        {"binary arrays expanding to 1000000 values", sharedArrays(999, 1000), true},
        {"binary arrays expanding to 1000001 values", sharedArrays(1000, 999), false},
    };
    for (const auto& c : parses) {
        const auto parsed = parsePropertyList(c.bytes);
        EXPECT_EQ(parsed.has_value(), c.accepted) << c.what << (parsed ? "" : ": " + parsed.error().message);
    }
    // Written as deep as read: 512 levels, not 513.
    PropertyList nested = Array{};
    for (int level = 1; level < 512; ++level) nested = Array{nested};
    EXPECT_TRUE(serializePropertyList(nested, PlistFormat::binary));
    EXPECT_EQ(serializePropertyList(Array{nested}, PlistFormat::xml).error().code, kPropertyListNotEncodable);

    // Files of exactly 1 MiB are read; one byte more is refused unread, naming the file.
    platform::testing::TempFolder folder;
    const std::string head = "<plist><string>", tail = "</string></plist>";
    const std::string exact = head + std::string(kMaxPropertyListFileBytes - head.size() - tail.size(), 'x') + tail;
    folder.write("exact.plist", exact);
    folder.write("over.plist", exact + "\n");
    EXPECT_TRUE(readPropertyListFile(folder.path() / "exact.plist"));
    const auto over = readPropertyListFile(folder.path() / "over.plist");
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().code, kPropertyListTooLarge);
    EXPECT_NE(over.error().message.find("over.plist"), std::string::npos) << over.error().message;
}

/// The fields of a small binary list: an array of two references to two
/// integers, 5 and 6, with one-byte offsets and references.
struct SmallBinary {
    std::uint8_t refs[2] = {1, 2};
    std::uint64_t count = 3, root = 0;
    std::int64_t tableShift = 0;                    // added to the table's offset
    std::uint8_t firstOffset = 8, lastOffset = 13; // of the array and of the last integer
    // The trailer's first byte, unused, just past the table: an offset of an
    // object there, so that reading one entry too far finds one.
    std::uint8_t pastTable = 11;

    Bytes bytes() const {
        Bytes out = bytesOf("bplist00");
        out.insert(out.end(), {0xa2, refs[0], refs[1], 0x10, 5, 0x10, 6});
        const std::uint64_t table = out.size();
        out.insert(out.end(), {firstOffset, 11, lastOffset});
        out.push_back(pastTable);
        put(out, 0, 5);
        out.insert(out.end(), {1, 1});
        for (std::uint64_t field : {count, root, std::uint64_t(std::int64_t(table) + tableShift)}) put(out, field, 8);
        return out;
    }
};

// Every index into the table and every reference at the last entry, one past
// it, and the table's own bounds one either side.
TEST(PropertyList, BinaryTableIndexesHoldAtTheirLastEntryAndRefuseOnePast) {
    const auto with = [](auto change) {
        SmallBinary list;
        change(list);
        return list.bytes();
    };
    const struct {
        const char* what;
        Bytes bytes;
        bool accepted;
    } cases[] = {
        {"as written", SmallBinary{}.bytes(), true},
        {"a reference to the last object", with([](SmallBinary& l) { l.refs[0] = 2; }), true},
        {"a reference one past the last object", with([](SmallBinary& l) { l.refs[1] = 3; }), false},
        {"the root at the last object", with([](SmallBinary& l) { l.root = 2; }), true},
        {"the root one past the last object", with([](SmallBinary& l) { l.root = 3; }), false},
        {"one object fewer than referred to", with([](SmallBinary& l) { l.count = 2; }), false},
        {"one object more than the table holds", with([](SmallBinary& l) { l.count = 4; }), false},
        {"the table one byte later, into the trailer", with([](SmallBinary& l) { l.tableShift = 1; }), false},
        {"the table at the trailer", with([](SmallBinary& l) { l.tableShift = 3; }), false},
        {"an object offset inside the header", with([](SmallBinary& l) { l.firstOffset = 7; }), false},
        {"an object offset at the trailer", with([](SmallBinary& l) { l.lastOffset = 18; }), false},
    };
    for (const auto& c : cases) {
        const auto parsed = parsePropertyList(c.bytes);
        EXPECT_EQ(parsed.has_value(), c.accepted) << c.what << (parsed ? "" : ": " + parsed.error().message);
    }
    EXPECT_EQ(*parsePropertyList(SmallBinary{}.bytes()), (PropertyList(Array{5, 6})));
    EXPECT_EQ(*parsePropertyList(with([](SmallBinary& l) { l.root = 2; })), PropertyList(6));
}

TEST(PropertyListFile, WritesAtomicallyAndLeavesNothingBehindOnFailure) {
    platform::testing::TempFolder folder;
    const auto target = folder.path() / "keep.plist";
    ASSERT_TRUE(writePropertyListFile(target, "first") && writePropertyListFile(target, "kept", PlistFormat::binary));
    folder.write("occupied/inside.txt", "x");
    folder.write(".hidden", "");
    const std::tuple<std::filesystem::path, PropertyList, std::int64_t> failures[]{
        {folder.path() / "absent/x.plist", 1, ENOENT},
        {folder.path() / "occupied", 1, EISDIR}, // the rename fails after the write
        {target, PlistDate{1e12}, kPropertyListNotEncodable},
        {target, PlistDate{-2147483648.0}, kPropertyListNotEncodable}, // would read back as any date before 1933
        {target, Dict{{"\xC3name", 1}}, kPropertyListNotEncodable},
    };
    for (const auto& [path, plist, code] : failures) {
        const auto result = writePropertyListFile(path, plist);
        ASSERT_FALSE(result) << path;
        EXPECT_EQ(result.error().code, code) << path << ": " << result.error().message;
        EXPECT_NE(result.error().message.find('"' + path.string() + '"'), std::string::npos) << result.error().message;
    }
    EXPECT_EQ(readPropertyListFile(target), PropertyList("kept"));
    // Temporaries have hidden names: the full listing shows none is left. It
    // also shows that listings hold direct contents only, hidden ones on request.
    const auto listed = [&](bool skipHiddenFiles) {
        auto paths = contentsOfDirectory(folder.path(), skipHiddenFiles).value();
        std::ranges::sort(paths);
        return paths;
    };
    const auto& at = folder.path();
    EXPECT_EQ(listed(false), (std::vector{at / ".hidden", at / "keep.plist", at / "occupied"}));
    EXPECT_EQ(listed(true), (std::vector{at / "keep.plist", at / "occupied"}));
}

} // namespace
