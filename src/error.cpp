#include "error.hpp"

#include <cerrno>
#include <cstring>

namespace vexoacq {

void internal_fault(std::string_view message) { throw InternalFault(std::string(message)); }

namespace error {

std::string_view message(MetadataErrorKind k) noexcept {
    switch (k) {
        case MetadataErrorKind::InvalidFormat: return "invalid metadata format";
        case MetadataErrorKind::Unreadable: return "invalid metadata format";
        case MetadataErrorKind::Serialization: return "failed to serialized";
    }
    return "invalid metadata format";
}

std::string_view message(const MetadataError& e) noexcept { return message(e.kind); }

std::string_view message(ParsingError e) noexcept {
    switch (e) {
        case ParsingError::InvalidParameters: return "provided parameters are invalid";
        case ParsingError::UnexpectedLength: return "unexpected length of data";
        case ParsingError::InvalidChannel: return "invalid channel number";
        case ParsingError::InvalidWindowLabel: return "invalid window label";
        case ParsingError::MissingData: return "required data missing when parsing";
        case ParsingError::EmptyPackage: return "Encountered an empty Package which can't be parsed";
        case ParsingError::UnsupportedModel: return "data is from an unsupported board model";
        case ParsingError::Unknown: return "unknown";
    }
    return "unknown";
}

std::string_view message(ExportErrorKind k) noexcept {
    switch (k) {
        case ExportErrorKind::InvalidPath: return "invalid path";
        case ExportErrorKind::AccessDenied: return "file access was denied";
        case ExportErrorKind::InvalidFormat: return "invalid format";
        case ExportErrorKind::InvalidOptions: return "specified options are invalid for the data being exported";
        case ExportErrorKind::Csv: return "error occurred while exporting as csv";
        case ExportErrorKind::Parsing: return "error occurred while parsing";
        case ExportErrorKind::AcquisitionAccess: return "error occurred while accessing acquisition";
        case ExportErrorKind::Unknown: return "unknown";
    }
    return "unknown";
}

std::string_view message(const ExportError& e) noexcept { return message(e.kind); }

ExportError ExportError::from_errno(int err) noexcept {
    switch (err) {
        case ENOENT: return ExportErrorKind::InvalidPath;
        case EACCES:
        case EPERM: return ExportErrorKind::AccessDenied;
        default: return ExportErrorKind::Unknown;
    }
}

std::string os_error_text(int err) {
    char buf[256];
    // GNU strerror_r returns the message pointer (possibly a static string).
    const char* text = strerror_r(err, buf, sizeof buf);
    std::string out(text);
    out += " (os error ";
    out += std::to_string(err);
    out += ')';
    return out;
}

}  // namespace error
}  // namespace vexoacq
