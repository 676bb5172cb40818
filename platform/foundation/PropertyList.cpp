#include "platform/foundation/PropertyList.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingFiles.h"

#include <plist/plist.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <unistd.h>

namespace platform {
namespace {

// Deeper nesting than this is refused rather than recursed into: no real
// property list comes near it, and a hostile one must not exhaust the stack.
constexpr int kMaxNestingDepth = 512;

// More values than this in one property list are refused: a preset or a
// saved state holds a few dozen.
constexpr std::uint64_t kMaxExpandedObjects = 1'000'000;

constexpr std::string_view kBinaryMagic = "bplist00";

struct NodeDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
/// Owns one libplist node and everything below it.
using Node = std::unique_ptr<void, NodeDeleter>;

/// libplist hands out copies of strings, keys, data and iterators allocated
/// with malloc.
struct MallocDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Malloced = std::unique_ptr<T, MallocDeleter>;

Error plistError(PropertyListErrorCode code, std::string message) {
    return Error{std::string(kPropertyListErrorDomain), code, std::move(message)};
}

std::unexpected<Error> notParsable(std::string what) {
    return std::unexpected(plistError(kPropertyListNotParsable, "not a property list: " + what));
}

std::unexpected<Error> notEncodable(std::string what) {
    return std::unexpected(plistError(kPropertyListNotEncodable, "cannot encode property list: " + what));
}

/// Whether text is well-formed UTF-8: every string of a property list is
/// text, and XML holding anything else cannot be read back.
bool isUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    for (std::int32_t i = 0; i < length;) {
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

// libplist 2.2 keeps a date as whole seconds and microseconds since
// 2001-01-01. The binary reader returns the seconds truncated toward zero and
// the microseconds without their sign, so a date before the reference date
// comes back as (-4, 750000) for -4.75 s.
/// Dates in (-1, 0) seconds: libplist reads their whole seconds as 0 and the
/// microseconds without sign, so they would come back after the reference
/// date. They are refused both ways rather than turned around.
bool isBeforeReferenceByLessThanASecond(double seconds) { return seconds < 0.0 && seconds > -1.0; }

/// libplist keeps a date's whole seconds in 32 bits and reads any date beyond
/// them (and the lowest value itself) as -2^31 s: December 1932. Dates from
/// then on to January 2069 are held.
constexpr std::int32_t kDateOutOfRange = std::numeric_limits<std::int32_t>::min();
bool isDateInRange(double seconds) { return seconds > -2147483648.0 && seconds < 2147483648.0; }

double dateFromParts(std::int32_t seconds, std::int32_t microseconds) {
    const double fraction = static_cast<double>(microseconds) / 1e6;
    if (seconds < 0 && microseconds > 0) return static_cast<double>(seconds) - fraction;
    return static_cast<double>(seconds) + fraction;
}

std::expected<PropertyList, Error> fromNode(plist_t node, int depth) {
    if (depth >= kMaxNestingDepth) return notParsable("nested more than 512 levels deep");

    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PropertyList(value != 0);
    }
    case PLIST_UINT: {
        // libplist stores every integer as 64 unsigned bits; negative integers
        // are their two's complement, so the conversion restores them.
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return PropertyList(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0.0;
        plist_get_real_val(node, &value);
        return PropertyList(value);
    }
    case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        std::string value = text ? std::string(text, length) : std::string();
        if (!isUtf8(value)) return notParsable("a string is not UTF-8 text");
        return PropertyList(std::move(value));
    }
    case PLIST_DATA: {
        char* raw = nullptr;
        std::uint64_t length = 0;
        plist_get_data_val(node, &raw, &length);
        const Malloced<char> bytes(raw);
        const auto* first = reinterpret_cast<const std::uint8_t*>(bytes.get());
        return PropertyList(bytes ? PlistData(first, first + length) : PlistData{});
    }
    case PLIST_DATE: {
        std::int32_t seconds = 0;
        std::int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        if (seconds == kDateOutOfRange) return notParsable("a date lies outside December 1932 to January 2069");
        return PropertyList(PlistDate{dateFromParts(seconds, microseconds)});
    }
    case PLIST_ARRAY: {
        PropertyList::Array items;
        items.reserve(plist_array_get_size(node));
        plist_array_iter rawIter = nullptr;
        plist_array_new_iter(node, &rawIter);
        const Malloced<void> iter(rawIter);
        for (;;) {
            plist_t item = nullptr;
            plist_array_next_item(node, iter.get(), &item);
            if (!item) break;
            auto value = fromNode(item, depth + 1);
            if (!value) return value;
            items.push_back(std::move(*value));
        }
        return PropertyList(std::move(items));
    }
    case PLIST_DICT: {
        PropertyList::Dictionary entries;
        plist_dict_iter rawIter = nullptr;
        plist_dict_new_iter(node, &rawIter);
        const Malloced<void> iter(rawIter);
        for (;;) {
            char* rawKey = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iter.get(), &rawKey, &item);
            const Malloced<char> key(rawKey);
            if (!item) break;
            auto value = fromNode(item, depth + 1);
            if (!value) return value;
            std::string name = key ? key.get() : "";
            if (!isUtf8(name)) return notParsable("a dictionary key is not UTF-8 text");
            entries.insert_or_assign(std::move(name), std::move(*value));
        }
        return PropertyList(std::move(entries));
    }
    case PLIST_UID:
        return notParsable("holds an object reference (UID), which has no value of its own");
    default:
        return notParsable("holds a node of unknown kind");
    }
}

std::uint64_t readBigEndian(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes[i];
    return value;
}

// libplist 2.2 trusts its input more than it should: it recurses once per
// nesting level (a deeply nested list overflows the stack, on reading and on
// freeing), copies an object once per reference (a binary list whose arrays
// refer twice to the next one grows to 2^n nodes), and asserts, aborting the
// process, on a binary dictionary key that holds a NUL. Input is checked for
// these before libplist sees it.

/// Where the parts of a binary property list lie, from its 32-byte trailer.
struct BinaryLayout {
    std::span<const std::uint8_t> bytes;
    std::size_t end = 0; // objects and offset table lie before the trailer
    std::size_t offsetSize = 0;
    std::size_t refSize = 0;
    std::uint64_t objectCount = 0;
    std::uint64_t root = 0;
    std::size_t tableOffset = 0;

    std::uint64_t read(std::size_t at, std::size_t size) const { return readBigEndian(bytes.data() + at, size); }
};

std::optional<BinaryLayout> binaryLayout(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t kTrailerSize = 32;
    if (bytes.size() < kBinaryMagic.size() + kTrailerSize) return std::nullopt;
    BinaryLayout layout;
    layout.bytes = bytes;
    layout.end = bytes.size() - kTrailerSize;
    const std::uint8_t* trailer = bytes.data() + layout.end;
    layout.offsetSize = trailer[6];
    layout.refSize = trailer[7];
    layout.objectCount = readBigEndian(trailer + 8, 8);
    layout.root = readBigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    if (layout.offsetSize < 1 || layout.offsetSize > 8 || layout.refSize < 1 || layout.refSize > 8) return std::nullopt;
    if (tableOffset < kBinaryMagic.size() || tableOffset >= layout.end) return std::nullopt;
    layout.tableOffset = static_cast<std::size_t>(tableOffset);
    if (layout.objectCount > (layout.end - layout.tableOffset) / layout.offsetSize) return std::nullopt;
    if (layout.root >= layout.objectCount) return std::nullopt;
    return layout;
}

/// One object's kind (high nibble of its marker), its element count or
/// length, and where its payload starts.
struct BinaryObject {
    unsigned kind = 0;
    std::uint64_t count = 0;
    std::size_t payload = 0;
};

std::optional<BinaryObject> binaryObject(const BinaryLayout& layout, std::uint64_t index) {
    const std::uint64_t offset = layout.read(layout.tableOffset + index * layout.offsetSize, layout.offsetSize);
    if (offset < kBinaryMagic.size() || offset >= layout.end) return std::nullopt;
    const std::uint8_t marker = layout.bytes[offset];
    BinaryObject object{static_cast<unsigned>(marker >> 4), static_cast<std::uint64_t>(marker & 0x0f),
                        static_cast<std::size_t>(offset) + 1};
    // Data, strings, arrays, sets and dictionaries with 15 or more elements
    // give their count as an integer object that follows the marker.
    const bool sized = object.kind == 0x4 || object.kind == 0x5 || object.kind == 0x6 || object.kind == 0xa ||
                       object.kind == 0xc || object.kind == 0xd;
    if (sized && object.count == 0x0f) {
        if (object.payload >= layout.end || (layout.bytes[object.payload] >> 4) != 0x1) return std::nullopt;
        const std::size_t size = std::size_t{1} << (layout.bytes[object.payload] & 0x0f);
        if (size > 8 || size > layout.end - object.payload - 1) return std::nullopt;
        object.count = layout.read(object.payload + 1, size);
        object.payload += 1 + size;
    }
    return object;
}

bool binaryStringHoldsNul(const BinaryLayout& layout, const BinaryObject& object) {
    const std::size_t unitSize = object.kind == 0x5 ? 1 : 2; // ASCII or UTF-16
    const std::uint64_t units = std::min<std::uint64_t>(object.count, (layout.end - object.payload) / unitSize);
    for (std::uint64_t unit = 0; unit < units; ++unit) {
        const std::uint8_t* at = layout.bytes.data() + object.payload + unit * unitSize;
        if (at[0] == 0 && (unitSize == 1 || at[1] == 0)) return true;
    }
    return false;
}

/// Why a binary property list must not reach libplist, or null when it may.
/// Walks the objects reachable from the root without recursion, remembering
/// each object's expanded size so that shared objects are visited once.
std::optional<std::string> binaryHazard(std::span<const std::uint8_t> bytes) {
    const auto layout = binaryLayout(bytes);
    if (!layout) return std::nullopt; // libplist refuses a broken trailer itself

    enum : std::uint8_t { kUnseen, kOnPath, kDone };
    std::vector<std::uint8_t> state(layout->objectCount, kUnseen);
    std::vector<std::uint64_t> expanded(layout->objectCount, 0);
    struct Frame {
        std::uint64_t object;
        std::size_t refs;
        std::uint64_t childCount;
        std::uint64_t nextChild;
        std::uint64_t total;
    };
    std::vector<Frame> path;

    // Visits one object: a leaf is done at once, a container goes on the path.
    auto visit = [&](std::uint64_t index) -> std::optional<std::string> {
        const auto object = binaryObject(*layout, index);
        if (!object) return "an object lies outside the data";
        if (object->kind == 0x5 || object->kind == 0x6) {
            if (binaryStringHoldsNul(*layout, *object)) return "a string or key holds a NUL character";
        }
        if (object->kind == 0x3 && object->payload + 8 <= layout->end) {
            const double date = std::bit_cast<double>(layout->read(object->payload, 8));
            if (isBeforeReferenceByLessThanASecond(date))
                return "a date less than a second before 2001-01-01 (libplist would read it as after)";
            if (!isDateInRange(date)) return "a date lies outside December 1932 to January 2069";
        }
        if (object->kind != 0xa && object->kind != 0xc && object->kind != 0xd) {
            state[index] = kDone;
            expanded[index] = 1;
            return std::nullopt;
        }
        if (path.size() >= static_cast<std::size_t>(kMaxNestingDepth)) return "nested more than 512 levels deep";
        const std::uint64_t maxRefs = (layout->end - std::min(object->payload, layout->end)) / layout->refSize;
        const std::uint64_t children = object->kind == 0xd ? 2 * std::min(object->count, maxRefs) : object->count;
        if (object->count > maxRefs || children > maxRefs) return "an object lies outside the data";
        state[index] = kOnPath;
        path.push_back(Frame{index, object->payload, children, 0, 1});
        return std::nullopt;
    };

    if (auto hazard = visit(layout->root)) return hazard;
    std::uint64_t total = expanded[layout->root];
    while (!path.empty()) {
        Frame& frame = path.back();
        if (frame.nextChild == frame.childCount) {
            const Frame done = frame;
            path.pop_back();
            state[done.object] = kDone;
            expanded[done.object] = done.total;
            if (path.empty()) {
                total = done.total;
            } else {
                path.back().total = std::min(path.back().total + done.total, kMaxExpandedObjects + 1);
            }
            continue;
        }
        const std::uint64_t child = layout->read(frame.refs + frame.nextChild * layout->refSize, layout->refSize);
        ++frame.nextChild;
        if (child >= layout->objectCount) return "a reference points past the last object";
        if (state[child] == kOnPath) return "an object contains itself";
        if (state[child] == kUnseen) {
            if (auto hazard = visit(child)) return hazard;
            if (state[child] == kOnPath) continue; // its frame is now on top
        }
        Frame& parent = path.back();
        parent.total = std::min(parent.total + expanded[child], kMaxExpandedObjects + 1);
        if (parent.total > kMaxExpandedObjects) break;
    }
    if (total > kMaxExpandedObjects || (!path.empty() && path.back().total > kMaxExpandedObjects)) {
        return "it expands to more than a million values";
    }
    return std::nullopt;
}

/// Whether arrays and dictionaries in property-list XML nest deeper than we
/// accept. A light scan of the tags, skipping comments and CDATA sections.
bool xmlNestsTooDeep(std::string_view xml) {
    int depth = 0;
    for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
        const std::string_view rest = xml.substr(at);
        if (rest.starts_with("<!--")) {
            at = xml.find("-->", at);
            if (at == std::string_view::npos) break;
            continue;
        }
        if (rest.starts_with("<![CDATA[")) {
            at = xml.find("]]>", at);
            if (at == std::string_view::npos) break;
            continue;
        }
        const bool closing = rest.starts_with("</");
        const std::string_view name = rest.substr(closing ? 2 : 1);
        const bool container = (name.starts_with("array") && name.size() > 5 && !std::isalnum(static_cast<unsigned char>(name[5]))) ||
                               (name.starts_with("dict") && name.size() > 4 && !std::isalnum(static_cast<unsigned char>(name[4])));
        if (!container) continue;
        const std::size_t close = xml.find('>', at);
        if (close == std::string_view::npos) break;
        if (closing) {
            --depth;
        } else if (xml[close - 1] != '/') {
            if (++depth > kMaxNestingDepth) return true;
        }
    }
    return false;
}

/// Whether the text of an XML <integer> or <real> is a number. libplist reads
/// such text with the C library's conversions, which turn "banana" into 0,
/// so a malformed number would otherwise pass for a real value.
bool isXmlNumber(std::string_view text, bool integer) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    if (text.empty()) return false;
    if (integer) {
        const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        const std::string_view digits = hex ? text.substr(2) : text;
        return std::all_of(digits.begin(), digits.end(), [hex](char c) {
            return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : std::isdigit(static_cast<unsigned char>(c)) != 0;
        });
    }
    if (text.front() == '-' || text.front() == '+') return false;
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return end == text.data() + text.size() && (error == std::errc{} || error == std::errc::result_out_of_range);
}

/// The first <integer> or <real> in property-list XML whose text is not a
/// number, described with the key it belongs to; none when all are numbers.
std::optional<std::string> xmlNumberFault(std::string_view xml) {
    for (std::size_t at = xml.find('<'); at != std::string_view::npos; at = xml.find('<', at + 1)) {
        const std::string_view rest = xml.substr(at);
        if (rest.starts_with("<!--") || rest.starts_with("<![CDATA[")) {
            at = xml.find(rest.starts_with("<!--") ? "-->" : "]]>", at);
            if (at == std::string_view::npos) break;
            continue;
        }
        const bool integer = rest.starts_with("<integer>");
        if (!integer && !rest.starts_with("<real>")) continue;
        const std::size_t start = at + (integer ? 9 : 6);
        const std::size_t end = xml.find('<', start);
        if (end == std::string_view::npos) break;
        const std::string_view text = xml.substr(start, end - start);
        if (isXmlNumber(text, integer)) continue;
        std::string where;
        // The key right before the value, when there is one.
        const std::size_t keyEnd = xml.rfind("</key>", at);
        const std::size_t keyStart = keyEnd == std::string_view::npos ? keyEnd : xml.rfind("<key>", keyEnd);
        if (keyStart != std::string_view::npos &&
            xml.substr(keyEnd + 6, at - keyEnd - 6).find_first_not_of(" \t\r\n") == std::string_view::npos) {
            where = " of \"" + std::string(xml.substr(keyStart + 5, keyEnd - keyStart - 5)) + "\"";
        }
        return std::string("the <") + (integer ? "integer" : "real") + ">" + where + " holds '" + std::string(text) +
               "', which is not a number";
    }
    return std::nullopt;
}

bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }



std::expected<Node, Error> toNode(const PropertyList& plist, int depth) {
    if (depth >= kMaxNestingDepth) return notEncodable("nested more than 512 levels deep");

    return std::visit(
        [depth](const auto& value) -> std::expected<Node, Error> {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, PropertyList::Dictionary>) {
                Node dict(plist_new_dict());
                for (const auto& [key, item] : value) {
                    if (holdsNul(key)) return notEncodable("a dictionary key holds a NUL character");
                    if (!isUtf8(key)) return notEncodable("a dictionary key is not UTF-8 text");
                    auto child = toNode(item, depth + 1);
                    if (!child) return child;
                    plist_dict_set_item(dict.get(), key.c_str(), child->release());
                }
                return dict;
            } else if constexpr (std::is_same_v<T, PropertyList::Array>) {
                Node array(plist_new_array());
                for (const auto& item : value) {
                    auto child = toNode(item, depth + 1);
                    if (!child) return child;
                    plist_array_append_item(array.get(), child->release());
                }
                return array;
            } else if constexpr (std::is_same_v<T, std::string>) {
                if (holdsNul(value)) return notEncodable("a string holds a NUL character");
                if (!isUtf8(value)) return notEncodable("a string is not UTF-8 text");
                return Node(plist_new_string(value.c_str()));
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return Node(plist_new_uint(static_cast<std::uint64_t>(value)));
            } else if constexpr (std::is_same_v<T, double>) {
                return Node(plist_new_real(value));
            } else if constexpr (std::is_same_v<T, bool>) {
                return Node(plist_new_bool(value ? 1 : 0));
            } else if constexpr (std::is_same_v<T, PlistData>) {
                // libplist hands the pointer to memcpy even for zero bytes, so
                // it must never be null.
                static const char kNoBytes = 0;
                const char* bytes = value.empty() ? &kNoBytes : reinterpret_cast<const char*>(value.data());
                return Node(plist_new_data(bytes, value.size()));
            } else {
                static_assert(std::is_same_v<T, PlistDate>);
                // The seconds and the microseconds carry the same sign, so that
                // libplist's binary writer (seconds + microseconds / 1e6) gives
                // back the value; the XML writer keeps the seconds only.
                const double when = value.secondsSinceReferenceDate;
                if (!std::isfinite(when)) return notEncodable("a date is not a finite number of seconds");
                if (isBeforeReferenceByLessThanASecond(when))
                    return notEncodable("a date less than a second before 2001-01-01 cannot be read back");
                double wholeSeconds = std::trunc(when);
                double microseconds = std::round((when - wholeSeconds) * 1e6);
                if (std::fabs(microseconds) >= 1e6) {
                    wholeSeconds += std::copysign(1.0, microseconds);
                    microseconds = 0.0;
                }
                if (wholeSeconds <= kDateOutOfRange || wholeSeconds > std::numeric_limits<std::int32_t>::max()) {
                    // Whole seconds are 32-bit: December 1932 to January 2069.
                    return notEncodable("a date lies outside the range the encoder holds (" +
                                        std::to_string(when) + " s from 2001-01-01)");
                }
                return Node(plist_new_date(static_cast<std::int32_t>(wholeSeconds),
                                           static_cast<std::int32_t>(microseconds)));
            }
        },
        plist.value());
}

std::string quoted(const std::filesystem::path& path) { return "\"" + path.string() + "\""; }

/// A file name in the target's folder that no one else uses: hidden, so that
/// folder listings that skip hidden files never see a half-written file.
std::filesystem::path temporarySibling(const std::filesystem::path& target) {
    static std::atomic<std::uint64_t> counter{0};
    thread_local std::mt19937_64 random{std::random_device{}()};
    const std::string suffix = std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) +
                               "-" + std::to_string(random() & 0xffffffu);
    return target.parent_path() / ("." + target.filename().string() + ".tmp-" + suffix);
}

std::expected<void, Error> writeAll(int fd, const std::vector<std::uint8_t>& bytes,
                                    const std::filesystem::path& path) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (count < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(posixError(errno, "cannot write " + quoted(path)));
        }
        written += static_cast<std::size_t>(count);
    }
    return {};
}

} // namespace

std::expected<PropertyList, Error> parsePropertyList(std::span<const std::uint8_t> bytes) {
    // Editors on some systems start a UTF-8 text with a byte-order mark,
    // which XML allows and libplist does not take.
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) bytes = bytes.subspan(3);
    if (bytes.empty()) return notParsable("the input is empty");
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) return notParsable("the input exceeds 4 GiB");

    const auto* text = reinterpret_cast<const char*>(bytes.data());
    const auto length = static_cast<std::uint32_t>(bytes.size());
    const bool binary = std::string_view(text, std::min<std::size_t>(bytes.size(), 6)) == "bplist";
    if (binary && std::string_view(text, std::min<std::size_t>(bytes.size(), 8)) != kBinaryMagic) {
        return notParsable("binary property list of an unsupported version");
    }

    if (binary) {
        if (auto hazard = binaryHazard(bytes)) return notParsable(*hazard);
    } else if (xmlNestsTooDeep(std::string_view(text, bytes.size()))) {
        return notParsable("nested more than 512 levels deep");
    } else if (auto fault = xmlNumberFault(std::string_view(text, bytes.size()))) {
        return notParsable(*fault);
    }

    plist_t raw = nullptr; // libplist leaves its output alone unless it is null
    if (binary) {
        plist_from_bin(text, length, &raw);
    } else {
        plist_from_xml(text, length, &raw);
    }
    const Node root(raw);
    if (!root) {
        return notParsable(binary ? "the binary property list is malformed or truncated"
                                  : "neither a binary property list nor well-formed property-list XML");
    }
    return fromNode(root.get(), 0);
}

/// libplist's binary writer stores a date as seconds + microseconds / 1e6,
/// rounded to the nearest double, and its reader truncates the fraction to
/// whole microseconds: a double that fell just short of its microsecond came
/// back one microsecond early, on every round trip. Each date the writer left
/// short moves to the adjacent double on the far side, which is as close to
/// the date and reads back whole.
void settleBinaryDates(std::vector<std::uint8_t>& bytes) {
    const auto layout = binaryLayout(bytes);
    if (!layout) return;
    auto microsecondsRead = [](double date) {
        return static_cast<std::int32_t>(std::fabs((date - static_cast<double>(static_cast<std::int64_t>(date))) * 1e6));
    };
    for (std::uint64_t index = 0; index < layout->objectCount; ++index) {
        const auto object = binaryObject(*layout, index);
        // Marker 0x33: a date, always eight bytes.
        if (!object || object->kind != 0x3 || object->count != 3 || object->payload + 8 > layout->end) continue;
        double date = std::bit_cast<double>(layout->read(object->payload, 8));
        if (!isDateInRange(date)) continue;
        const double written = std::fabs((date - std::trunc(date)) * 1e6);
        const double meant = std::round(written);
        if (meant >= 1e6) continue;
        for (int step = 0; step < 4 && microsecondsRead(date) < meant; ++step)
            date = std::nextafter(date, std::copysign(std::numeric_limits<double>::infinity(), date));
        const auto bits = std::bit_cast<std::uint64_t>(date);
        for (std::size_t i = 0; i < 8; ++i) bytes[object->payload + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    }
}

std::expected<std::vector<std::uint8_t>, Error> serializePropertyList(const PropertyList& plist,
                                                                      PlistFormat format) {
    auto root = toNode(plist, 0);
    if (!root) return std::unexpected(std::move(root.error()));

    char* raw = nullptr; // as on input, libplist writes only into a null pointer
    std::uint32_t length = 0;
    std::vector<std::uint8_t> bytes;
    if (format == PlistFormat::binary) {
        plist_to_bin(root->get(), &raw, &length);
        if (!raw) return notEncodable("the binary encoder failed");
        bytes.assign(raw, raw + length);
        plist_to_bin_free(raw);
        settleBinaryDates(bytes);
    } else {
        plist_to_xml(root->get(), &raw, &length);
        if (!raw) return notEncodable("the XML encoder failed");
        bytes.assign(raw, raw + length);
        plist_to_xml_free(raw);
    }
    return bytes;
}

std::expected<PropertyList, Error> readPropertyListFile(const std::filesystem::path& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (!error && size > kMaxPropertyListFileBytes) {
        return std::unexpected(Error{std::string(kPropertyListErrorDomain), kPropertyListTooLarge,
                                     quoted(path) + ": " + std::to_string(size) +
                                         " bytes is more than a property list of this system may hold (1 MiB)"});
    }
    auto bytes = readWholeFile(path);
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    auto plist = parsePropertyList(*bytes);
    if (!plist) plist.error().message = quoted(path) + ": " + plist.error().message;
    return plist;
}

std::expected<void, Error> writePropertyListFile(const std::filesystem::path& path,
                                                 const PropertyList& plist, PlistFormat format) {
    // Encode first: an unencodable value must not even create a file.
    auto bytes = serializePropertyList(plist, format);
    if (!bytes) {
        bytes.error().message = quoted(path) + ": " + bytes.error().message;
        return std::unexpected(std::move(bytes.error()));
    }
    if (!path.has_filename()) return std::unexpected(posixError(EISDIR, "cannot write " + quoted(path)));

    std::filesystem::path temporary;
    PendingFile pending;
    int fd = -1;
    // A name clash with another writer is retried; any other failure is final.
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = temporarySibling(path);
        pending = PendingFile(temporary);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return std::unexpected(posixError(errno, "cannot write " + quoted(path)));

    auto fail = [&](Error error) -> std::expected<void, Error> {
        if (fd >= 0) ::close(fd);
        ::unlink(temporary.c_str());
        return std::unexpected(std::move(error));
    };

    if (auto written = writeAll(fd, *bytes, path); !written) return fail(std::move(written.error()));
    // The content must be on disk before the rename makes it the target, or a
    // crash could leave an empty file under the target's name.
    if (::fsync(fd) != 0) return fail(posixError(errno, "cannot write " + quoted(path)));
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return fail(posixError(errno, "cannot write " + quoted(path)));
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        return fail(posixError(errno, "cannot replace " + quoted(path)));
    }
    return {};
}

} // namespace platform
