#include "platform/foundation/StringOrdering.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

bool ascending(const std::string& a, const std::string& b) { return localizedStandardCompare(a, b) < 0; }

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end(), ascending);
    return names;
}

using Names = std::vector<std::string>;

TEST(LocalizedStandardCompare, DigitsCompareByValue) {
    EXPECT_EQ(sorted({"10-Ten.aupreset", "2-Two.aupreset", "1-One.aupreset"}),
              (Names{"1-One.aupreset", "2-Two.aupreset", "10-Ten.aupreset"}));
    EXPECT_EQ(sorted({"file10", "file9", "file100", "file1"}), (Names{"file1", "file9", "file10", "file100"}));
    EXPECT_EQ(sorted({"v2.10", "v2.9", "v10.1"}), (Names{"v2.9", "v2.10", "v10.1"}));
    // Arabic-Indic digits: two, ten, one.
    EXPECT_EQ(sorted({"\u0662-x", "\u0661\u0660-x", "\u0661-x"}), (Names{"\u0661-x", "\u0662-x", "\u0661\u0660-x"}));
    EXPECT_EQ(localizedStandardCompare("2", "10"), -1);
    EXPECT_EQ(localizedStandardCompare("10", "2"), 1);
}

TEST(LocalizedStandardCompare, IgnoresLetterCaseButStillOrdersEveryPair) {
    EXPECT_EQ(sorted({"cherry", "Banana", "apple", "Apricot"}), (Names{"apple", "Apricot", "Banana", "cherry"}));
    EXPECT_EQ(localizedStandardCompare("a", "B"), -1);
    EXPECT_EQ(localizedStandardCompare("B", "a"), 1);

    // Names the collation calls equal still get a fixed order, both ways round.
    const std::vector<std::pair<std::string, std::string>> nearTwins{
        {"Preset", "preset"}, {"GLASS RAIN", "glass rain"}, {"01-A", "1-A"}, {"resume", "r\u00e9sum\u00e9"},
        {"a\u200Bb", "ab"},   {"a\xff", "a\xfe"},           {"", "a"},       {"e\u0301", "\u00e9"},
    };
    for (const auto& [a, b] : nearTwins) {
        const int ab = localizedStandardCompare(a, b);
        EXPECT_NE(ab, 0) << "\"" << a << "\" vs \"" << b << "\"";
        EXPECT_EQ(localizedStandardCompare(b, a), -ab) << "\"" << a << "\" vs \"" << b << "\"";
        EXPECT_EQ(localizedStandardCompare(a, a), 0) << a;
    }
}

/// Names mixing what file names hold: letters of both cases, accents, digits
/// of two scripts, separators and now and then a byte that is not UTF-8.
Names randomNames(std::size_t count, std::uint32_t seed) {
    static const std::vector<std::string> pieces{
        "a", "A", "b", "B", "z", "\u00e9", "E", "e", "0", "1", "2", "9", "10", "007", "\u0661", "\u0662",
        "-", " ", ".", "_", "\xff", "\u00bd", "x", "X",
    };
    std::mt19937 random(seed);
    Names names;
    while (names.size() < count) {
        std::string name;
        const auto length = 1 + random() % 6;
        for (std::size_t i = 0; i < length; ++i) name += pieces[random() % pieces.size()];
        names.push_back(name);
    }
    return names;
}

TEST(LocalizedStandardCompare, IsAStrictTotalOrder) {
    Names names = randomNames(70, 11);
    names.push_back(names[3]); // a duplicate must compare 0 with its twin only
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (std::size_t j = 0; j < names.size(); ++j) {
            const int ij = localizedStandardCompare(names[i], names[j]);
            ASSERT_EQ(ij == 0, names[i] == names[j]) << i << " \"" << names[i] << "\" vs " << j << " \"" << names[j] << "\"";
            ASSERT_EQ(localizedStandardCompare(names[j], names[i]), -ij) << i << " vs " << j;
            for (std::size_t k = 0; k < names.size(); ++k) {
                if (ij < 0 && localizedStandardCompare(names[j], names[k]) < 0) {
                    ASSERT_LT(localizedStandardCompare(names[i], names[k]), 0)
                        << "not transitive: " << i << " < " << j << " < " << k << ": \"" << names[i] << "\", \""
                        << names[j] << "\", \"" << names[k] << "\"";
                }
            }
        }
    }
}

TEST(LocalizedStandardCompare, SortingIsIndependentOfTheStartingOrder) {
    const Names names = randomNames(500, 5);
    const Names reference = sorted(names);
    for (std::size_t i = 1; i < reference.size(); ++i) {
        ASSERT_LE(localizedStandardCompare(reference[i - 1], reference[i]), 0) << "index " << i;
    }
    std::mt19937 random(99);
    for (int trial = 0; trial < 5; ++trial) {
        Names shuffled = names;
        std::shuffle(shuffled.begin(), shuffled.end(), random);
        EXPECT_EQ(sorted(shuffled), reference) << "trial " << trial;
    }
    EXPECT_EQ(sorted(reference), reference);
}

TEST(LocalizedStandardCompare, ThreadsSortAtTheSameTime) {
    const Names names = randomNames(2000, 17);
    const Names reference = sorted(names);
    std::vector<Names> results(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            Names mine = names;
            std::shuffle(mine.begin(), mine.end(), std::mt19937(static_cast<std::uint32_t>(t)));
            results[t] = sorted(std::move(mine));
        });
    }
    for (auto& thread : threads) thread.join();
    for (std::size_t t = 0; t < results.size(); ++t) EXPECT_EQ(results[t], reference) << "thread " << t;
}

TEST(IsNumericText, CharactersWithANumericValue) {
    for (const char* text : {"0", "03", "1234567890", "\u0660\u0661\u0662", "\u00bd", "\u216b", "\u00b2", "\u4e09"}) {
        EXPECT_TRUE(isNumericText(text)) << "\"" << text << "\"";
    }
    for (const char* text : {"", "03 ", "0 3", "-1", "1-", "a", "3a", "Lead", "\xff", "1\xc3", "\xed\xa0\x80", "1.5"}) {
        EXPECT_FALSE(isNumericText(text)) << "\"" << text << "\"";
    }
    EXPECT_FALSE(isNumericText(std::string_view("1\0" "2", 3))) << "NUL has no numeric value";
}

} // namespace
} // namespace platform
