#include "platform/foundation/StringOrdering.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

using namespace platform;

TEST(LocalizedStandardCompare, OrdersLikeAFileBrowserAndStrictly) {
    // Digits by value in any script (Arabic-Indic 2 before 10), letter case ignored.
    for (const auto& [before, after] : {std::pair{"1-One", "2-Two"}, {"2-Two", "10-Ten"}, {"\u0661-x", "\u0662-x"},
                                        {"\u0662-x", "\u0661\u0660-x"}, {"apple", "Banana"}, {"Apricot", "banana"}}) {
        EXPECT_EQ(localizedStandardCompare(before, after), -1) << before << " vs " << after;
    }
    // Names the collation calls equal, which must still get a fixed order...
    std::set<std::string> unique{"Preset", "preset", "01-A", "1-A", "resume", "r\u00e9sum\u00e9", "a\u200Bb", "ab",
                                 "a\xff", "a\xfe", "", "e\u0301", "\u00e9"};
    // ...and names of one or two pieces of what file names hold: both cases,
    // accents, digits of two scripts, separators, a byte that is not UTF-8.
    const char* pieces[]{"a", "A", "B", "\u00e9", "E", "e", "0", "1", "10", "007", "\u0661", "\u0662", "-", " ", "\xff"};
    for (const char* first : pieces) {
        for (const char* second : pieces) unique.insert({std::string(first), first + std::string(second)});
    }
    // Once sorted, every pair must compare as its places do: never 0 for two
    // different names, antisymmetric and transitive.
    std::vector<std::string> names(unique.begin(), unique.end());
    std::ranges::sort(names, [](const auto& a, const auto& b) { return localizedStandardCompare(a, b) < 0; });
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (std::size_t j = 0; j < names.size(); ++j) {
            ASSERT_EQ(localizedStandardCompare(names[i], names[j]), (i > j) - (i < j))
                << i << " \"" << names[i] << "\" vs " << j << " \"" << names[j] << "\"";
        }
    }
}

TEST(IsNumericText, CharactersWithANumericValue) {
    const std::pair<std::string_view, bool> cases[]{
        {"03", true}, {"\u0660\u0661\u0662", true}, {"\u00bd", true}, {"\u216b", true}, {"\u00b2", true}, {"\u4e09", true},
        {"", false}, {"03 ", false}, {"0 3", false}, {"-1", false}, {"3a", false}, {"\xff", false}, {"1\xc3", false},
        {"\xed\xa0\x80", false}, {"1.5", false}, {{"1\0" "2", 3}, false}}; // NUL has no numeric value
    for (const auto& [text, numeric] : cases) EXPECT_EQ(isNumericText(text), numeric) << '"' << text << '"';
}
