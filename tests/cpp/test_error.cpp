#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "error.hpp"
#include "result.hpp"

using namespace vexoacq;
using namespace vexoacq::error;

TEST(ErrorTexts, EveryParsingVariant) {
    const std::pair<ParsingError, const char*> table[] = {
        {ParsingError::InvalidParameters, "provided parameters are invalid"},
        {ParsingError::UnexpectedLength, "unexpected length of data"},
        {ParsingError::InvalidChannel, "invalid channel number"},
        {ParsingError::InvalidWindowLabel, "invalid window label"},
        {ParsingError::MissingData, "required data missing when parsing"},
        {ParsingError::EmptyPackage, "Encountered an empty Package which can't be parsed"},
        {ParsingError::UnsupportedModel, "data is from an unsupported board model"},
        {ParsingError::Unknown, "unknown"},
    };
    int expected_index = 0;
    for (const auto& [e, text] : table) {
        EXPECT_EQ(static_cast<int>(e), expected_index++);
        EXPECT_EQ(message(e), text);
    }
}

TEST(ErrorTexts, EveryMetadataVariant) {
    EXPECT_EQ(message(MetadataError(MetadataErrorKind::InvalidFormat)), "invalid metadata format");
    EXPECT_EQ(message(MetadataError(MetadataErrorKind::Unreadable)), "invalid metadata format");
    EXPECT_EQ(message(MetadataError::serialization({"did not find expected key", 3, 4})),
              "failed to serialized");
}

TEST(ErrorTexts, EveryExportVariantShowsOnlyItsOwnText) {
    const std::pair<ExportError, const char*> table[] = {
        {ExportErrorKind::InvalidPath, "invalid path"},
        {ExportErrorKind::AccessDenied, "file access was denied"},
        {ExportErrorKind::InvalidFormat, "invalid format"},
        {ExportErrorKind::InvalidOptions, "specified options are invalid for the data being exported"},
        {CsvError{EIO}, "error occurred while exporting as csv"},
        {ParsingError::UnsupportedModel, "error occurred while parsing"},
        {MetadataError(MetadataErrorKind::Unreadable), "error occurred while accessing acquisition"},
        {MetadataError::serialization({"x", 1, 1}), "error occurred while accessing acquisition"},
        {ExportErrorKind::Unknown, "unknown"},
    };
    for (const auto& [e, text] : table) EXPECT_EQ(message(e), text);
    EXPECT_EQ(ExportError(ParsingError::UnsupportedModel).kind, ExportErrorKind::Parsing);
    EXPECT_EQ(ExportError(CsvError{EIO}).kind, ExportErrorKind::Csv);
}

TEST(ErrorTexts, ExportErrorFromErrno) {
    EXPECT_EQ(ExportError::from_errno(ENOENT).kind, ExportErrorKind::InvalidPath);
    EXPECT_EQ(ExportError::from_errno(EACCES).kind, ExportErrorKind::AccessDenied);
    EXPECT_EQ(ExportError::from_errno(EPERM).kind, ExportErrorKind::AccessDenied);
    EXPECT_EQ(ExportError::from_errno(ENOTDIR).kind, ExportErrorKind::Unknown);
    EXPECT_EQ(ExportError::from_errno(ENOSPC).kind, ExportErrorKind::Unknown);
}

TEST(ErrorTexts, OsErrorText) {
    EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");
    EXPECT_EQ(os_error_text(EISDIR), "Is a directory (os error 21)");
}

namespace {
Result<int, ParsingError> half(int x) {
    if (x % 2) return Err{ParsingError::UnexpectedLength};
    return x / 2;
}
Result<int, ParsingError> quarter(int x) {
    VEXO_ASSIGN_OR_RETURN(int h, half(x));
    VEXO_ASSIGN_OR_RETURN(int q, half(h));
    return q;
}
}  // namespace

TEST(ResultType, ValueErrorAndEarlyReturn) {
    EXPECT_EQ(*quarter(8), 2);
    EXPECT_EQ(quarter(6).error(), ParsingError::UnexpectedLength);
    // Asking for the wrong alternative is a broken invariant, not UB.
    EXPECT_THROW((void)quarter(6).value(), InternalFault);
    EXPECT_THROW((void)quarter(8).error(), InternalFault);
}
