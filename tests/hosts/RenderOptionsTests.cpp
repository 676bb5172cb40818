#include "hosts/render/RenderOptions.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace orvane::render {
namespace {

std::expected<CommandLine, std::string> parse(std::initializer_list<const char*> arguments)
{
    std::vector<const char*> argv = {"orvane-render"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

RenderOptions options(std::initializer_list<const char*> arguments)
{
    auto result = parse(arguments);
    if (!result) {
        ADD_FAILURE() << "refused: " << result.error();
        return {};
    }
    if (!std::holds_alternative<RenderOptions>(*result)) {
        ADD_FAILURE() << "asked for information instead of options";
        return {};
    }
    return std::get<RenderOptions>(*result);
}

/// The error for the arguments; fails the test when they were accepted.
std::string refusal(std::initializer_list<const char*> arguments)
{
    auto result = parse(arguments);
    if (result) {
        ADD_FAILURE() << "accepted what should be refused";
        return {};
    }
    return result.error();
}

#define EXPECT_REFUSED_NAMING(arguments, text)                                                               \
    do {                                                                                                     \
        const std::string message = refusal arguments;                                                       \
        EXPECT_NE(message.find(text), std::string::npos) << "message: " << message;                          \
    } while (false)

TEST(CommandLine, DefaultsWithNoArguments)
{
    const auto parsed = options({});
    EXPECT_FALSE(parsed.input) << "no input selects the demo";
    EXPECT_FALSE(parsed.output);
    EXPECT_FALSE(parsed.preset);
    EXPECT_TRUE(parsed.settings.empty());
    EXPECT_FALSE(parsed.stateFile);
    EXPECT_FALSE(parsed.saveStateFile);
    EXPECT_FALSE(parsed.listPresets);
    EXPECT_FALSE(parsed.bypass);
    EXPECT_FALSE(parsed.quiet);
    EXPECT_FALSE(parsed.seed);
    EXPECT_EQ(parsed.blockFrames, 512u);
    EXPECT_FALSE(parsed.tailSeconds) << "tail defaults to auto";
    EXPECT_FALSE(parsed.encoding);
}

TEST(CommandLine, EveryOptionLandsInItsField)
{
    const auto parsed = options({"in put.flac", "-o", "out.aiff", "--preset", "Dizzy Rain", "--state",
        "s.aupreset", "--save-state", "saved.aupreset", "--list-presets", "--bypass", "--seed", "77",
        "--block", "64", "--tail", "2.5", "--bits", "24", "--quiet"});
    EXPECT_EQ(parsed.input, std::filesystem::path("in put.flac"));
    EXPECT_EQ(parsed.output, std::filesystem::path("out.aiff"));
    ASSERT_TRUE(parsed.preset);
    EXPECT_EQ(std::get<std::string>(*parsed.preset), "Dizzy Rain");
    EXPECT_EQ(parsed.stateFile, std::filesystem::path("s.aupreset"));
    EXPECT_EQ(parsed.saveStateFile, std::filesystem::path("saved.aupreset"));
    EXPECT_TRUE(parsed.listPresets);
    EXPECT_TRUE(parsed.bypass);
    EXPECT_TRUE(parsed.quiet);
    EXPECT_EQ(parsed.seed, 77u);
    EXPECT_EQ(parsed.blockFrames, 64u);
    EXPECT_EQ(parsed.tailSeconds, 2.5);
    EXPECT_EQ(parsed.encoding, SampleEncoding::Pcm24);

    EXPECT_EQ(options({"--output=x.wav"}).output, std::filesystem::path("x.wav"));
    EXPECT_TRUE(options({"-q"}).quiet);
    EXPECT_EQ(options({"--bits", "16"}).encoding, SampleEncoding::Pcm16);
    EXPECT_EQ(options({"--bits", "float"}).encoding, SampleEncoding::Float32);
}

TEST(CommandLine, PresetIsANumberWhenAllDigitsAndANameOtherwise)
{
    EXPECT_EQ(std::get<std::uint32_t>(*options({"--preset", "0"}).preset), 0u);
    EXPECT_EQ(std::get<std::uint32_t>(*options({"--preset", "12"}).preset), 12u);
    EXPECT_EQ(std::get<std::string>(*options({"--preset", "3rd"}).preset), "3rd");
    EXPECT_EQ(std::get<std::string>(*options({"--preset", "1.5"}).preset), "1.5");
    EXPECT_REFUSED_NAMING(({"--preset", ""}), "--preset");
    EXPECT_REFUSED_NAMING(({"--preset", "99999999999"}), "'99999999999'");
}

TEST(CommandLine, RepeatedSetsKeepTheirOrderAndLeaveTheInputAlone)
{
    const auto parsed = options({"--set", "nausea=0.25", "--set=premix=1", "--set", "nausea=-3e-1", "in.wav",
        "--set", "gravitas=+.5"});
    const std::vector<ParameterSetting> expected = {
        {"nausea", 0.25f}, {"premix", 1.0f}, {"nausea", -0.3f}, {"gravitas", 0.5f}};
    EXPECT_EQ(parsed.settings, expected);
    EXPECT_EQ(parsed.input, std::filesystem::path("in.wav"));

    for (const auto identifier : kParameterIdentifiers) {
        const std::string text = std::string(identifier) + "=0.75";
        auto setting = parseParameterSetting(text);
        ASSERT_TRUE(setting) << text << ": " << setting.error();
        EXPECT_EQ(setting->identifier, identifier);
        EXPECT_EQ(setting->value, 0.75f);
    }
}

TEST(CommandLine, BadSetsNameTheOffendingText)
{
    EXPECT_REFUSED_NAMING(({"--set", "wobble=0.5"}), "'wobble'");
    EXPECT_REFUSED_NAMING(({"--set", "Premix=0.5"}), "'Premix'");
    EXPECT_REFUSED_NAMING(({"--set", "premix"}), "'premix'");
    EXPECT_REFUSED_NAMING(({"--set", "=0.5"}), "'=0.5'");
    EXPECT_REFUSED_NAMING(({"--set", "premix="}), "'premix='");
    EXPECT_REFUSED_NAMING(({"--set", "premix=loud"}), "'loud'");
    EXPECT_REFUSED_NAMING(({"--set", "premix=0.5x"}), "'0.5x'");
    EXPECT_REFUSED_NAMING(({"--set", "premix= 0.5"}), "' 0.5'");
    EXPECT_REFUSED_NAMING(({"--set", "premix=nan"}), "'nan'");
    EXPECT_REFUSED_NAMING(({"--set", "premix=inf"}), "'inf'");
    EXPECT_REFUSED_NAMING(({"--set", "premix=1e39"}), "'1e39'");
    // The known identifiers are listed to help.
    EXPECT_REFUSED_NAMING(({"--set", "wobble=0.5"}), "gravitas");
    // One bad setting among good ones still refuses the whole line.
    EXPECT_REFUSED_NAMING(({"--set", "premix=1", "--set", "nausea=much"}), "'much'");
}

TEST(CommandLine, SeedAcceptsItsRangeEdgesOnly)
{
    EXPECT_EQ(options({"--seed", "1"}).seed, 1u);
    EXPECT_EQ(options({"--seed", "4294967294"}).seed, 4294967294u);
    EXPECT_REFUSED_NAMING(({"--seed", "0"}), "'0'");
    EXPECT_REFUSED_NAMING(({"--seed", "4294967295"}), "'4294967295'");
    EXPECT_REFUSED_NAMING(({"--seed", "18446744073709551616"}), "'18446744073709551616'");
    EXPECT_REFUSED_NAMING(({"--seed", "-5"}), "'-5'");
    EXPECT_REFUSED_NAMING(({"--seed", "1.5"}), "'1.5'");
    EXPECT_REFUSED_NAMING(({"--seed", "12abc"}), "'12abc'");
    EXPECT_REFUSED_NAMING(({"--seed", ""}), "--seed");
    EXPECT_REFUSED_NAMING(({"--seed", "0"}), "1 to 4294967294");
}

TEST(CommandLine, BlockAcceptsOneTo65536)
{
    EXPECT_EQ(options({"--block", "1"}).blockFrames, 1u);
    EXPECT_EQ(options({"--block", "65536"}).blockFrames, 65536u);
    EXPECT_REFUSED_NAMING(({"--block", "0"}), "'0'");
    EXPECT_REFUSED_NAMING(({"--block", "65537"}), "'65537'");
    EXPECT_REFUSED_NAMING(({"--block", "512.0"}), "'512.0'");
}

TEST(CommandLine, TailIsAutoOrNonNegativeSeconds)
{
    EXPECT_FALSE(options({"--tail", "auto"}).tailSeconds);
    EXPECT_EQ(options({"--tail", "0"}).tailSeconds, 0.0);
    EXPECT_EQ(options({"--tail", "3"}).tailSeconds, 3.0);
    EXPECT_EQ(options({"--tail", "0.125"}).tailSeconds, 0.125);
    EXPECT_EQ(options({"--tail", "1e1"}).tailSeconds, 10.0);
    EXPECT_REFUSED_NAMING(({"--tail", "-1"}), "'-1'");
    EXPECT_REFUSED_NAMING(({"--tail", "-1"}), "negative");
    EXPECT_REFUSED_NAMING(({"--tail", "Auto"}), "'Auto'");
    EXPECT_REFUSED_NAMING(({"--tail", "2s"}), "'2s'");
    EXPECT_REFUSED_NAMING(({"--tail", "inf"}), "'inf'");
}

TEST(CommandLine, OtherMistakesAreNamed)
{
    EXPECT_REFUSED_NAMING(({"--bits", "32"}), "'32'");
    EXPECT_REFUSED_NAMING(({"--bits", "Float"}), "'Float'");
    EXPECT_REFUSED_NAMING(({"--frobnicate"}), "--frobnicate");
    EXPECT_REFUSED_NAMING(({"one.wav", "two.wav"}), "two.wav");
    EXPECT_REFUSED_NAMING(({"--seed"}), "--seed");
    EXPECT_REFUSED_NAMING(({"-o", ""}), "--output");
    EXPECT_REFUSED_NAMING(({""}), "INPUT");
}

TEST(CommandLine, HelpAndVersionAreInformationNotErrors)
{
    for (const auto* flag : {"--help", "-h"}) {
        auto result = parse({"in.wav", flag});
        ASSERT_TRUE(result) << result.error();
        ASSERT_TRUE(std::holds_alternative<InformationRequest>(*result)) << flag;
        const auto& text = std::get<InformationRequest>(*result).text;
        for (const auto* option : {"--preset", "--set", "--state", "--save-state", "--list-presets",
                 "--bypass", "--seed", "--block", "--tail", "--quiet", "--output", "--bits", "--version"})
            EXPECT_NE(text.find(option), std::string::npos) << flag << " does not mention " << option;
    }
    EXPECT_EQ(usageText(), std::get<InformationRequest>(*parse({"--help"})).text);

    auto version = parse({"--version"});
    ASSERT_TRUE(version) << version.error();
    ASSERT_TRUE(std::holds_alternative<InformationRequest>(*version));
    EXPECT_EQ(std::get<InformationRequest>(*version).text.rfind("orvane-render ", 0), 0u)
        << std::get<InformationRequest>(*version).text;
}

} // namespace
} // namespace orvane::render
