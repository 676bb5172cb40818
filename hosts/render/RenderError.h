#pragma once

#include "platform/foundation/Error.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace orvane::render {

/// The domain of every error the renderer's file side reports.
inline constexpr const char* kErrorDomain = "orvane-render";

/// What went wrong, as the code of a platform::Error in kErrorDomain. The
/// message always names the file and the reason; the code lets callers and
/// tests tell the cases apart without reading prose.
enum class ErrorCode : std::int64_t {
    FileMissing = 1, // the input does not exist
    NotARegularFile, // the input or output names a folder or device
    NotAudio, // libsndfile cannot read it
    TooManyChannels, // more than two channels
    ReadFailed, // decoding stopped part way
    UnsupportedOutputType, // the output's extension names no format written
    SampleFormatNotAllowed, // the format cannot hold the input's sample rate
    SameFileAsInput, // the output would replace the input
    CreateFailed, // the temporary output could not be created
    WriteFailed, // writing samples failed
    CommitFailed, // finishing or renaming the output failed
    DemoInputMissing, // neither the staged nor the source demo input exists
    PlugInNotFound, // no plug-in bundle where one was looked for
    PlugInUnusable, // the bundle does not load or its unit cannot be made or prepared
    UnknownPreset, // --preset names no factory preset
    UnknownParameter, // --set names no parameter
    StateUnreadable, // --state is not a readable saved state
    StateNotSaved, // --save-state could not be written
    RenderFailed, // the unit's render block reported an error
    OutputFolderMissing, // --outdir names no existing folder
    OutputsCollide, // two files the command writes are the same file
    TooLong, // the input and tail would not fit the output format
    FormatRefused, // the output's format and --bits, --dither, --quality or --format cannot go together
    OutputExists, // -n, and the output exists
    SaveStateRefused, // --save-state names a file that could not be written
};

/// Whether the error is a command line refused rather than a render that
/// failed: what the command asks for cannot be, whatever the files hold.
inline bool isCommandLineRefusal(const platform::Error& error)
{
    if (error.domain != kErrorDomain)
        return false;
    switch (static_cast<ErrorCode>(error.code)) {
    case ErrorCode::SameFileAsInput:
    case ErrorCode::OutputsCollide:
    case ErrorCode::UnsupportedOutputType:
    case ErrorCode::FormatRefused:
    case ErrorCode::UnknownPreset:
    case ErrorCode::UnknownParameter:
    case ErrorCode::OutputFolderMissing:
    case ErrorCode::OutputExists:
    case ErrorCode::SaveStateRefused:
        return true;
    default:
        return false;
    }
}

inline platform::Error makeError(ErrorCode code, std::string message)
{
    return platform::Error{kErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

/// A path as error messages show it: in single quotes, as given.
inline std::string quotedPath(const std::filesystem::path& path)
{
    return "'" + path.string() + "'";
}

} // namespace orvane::render
