// The four error kinds of the acquisition store, the decoders and the export,
// and the internal fault type for broken invariants.
//
// Every variant has one fixed text; a variant that carries another error
// shows only its own text.  The tables below are the single source of those
// texts (tests/cpp/test_error.cpp walks every variant).
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace vexoacq {

// Thrown only for a broken internal invariant (an index outside a table, a
// zero divisor, input outside a routine's stated limits).  The Python layer
// reports it on standard error and raises pyo3_runtime.PanicException.
class InternalFault : public std::logic_error {
public:
    explicit InternalFault(const std::string& what) : std::logic_error(what) {}
};

[[noreturn]] void internal_fault(std::string_view message);

// Throws InternalFault(message) unless cond holds.
inline void check_invariant(bool cond, std::string_view message) {
    if (!cond) [[unlikely]] internal_fault(message);
}

namespace error {

// ---------------------------------------------------------------- Acquisition
enum class AcquisitionErrorKind : std::uint8_t {
    InvalidPath = 0,
    AlreadyExists = 1,
    CreateFailed = 2,
    ReadFailed = 3,
    IndexOutOfBounds = 4,
    ChunkFull = 5,
    WriteFailed = 6,
    MissingMetadata = 7,
    MetadataAlreadyWritten = 8,
    InvalidMetadata = 9,
    NoSuchMiscData = 10,
    Unknown = 11,
};

// Has no text of its own: the Python layer maps each kind onto an exception.
// Only ReadFailed carries data (the text of the failed read).
struct AcquisitionError {
    AcquisitionErrorKind kind = AcquisitionErrorKind::Unknown;
    std::string text;  // ReadFailed only

    AcquisitionError() = default;
    AcquisitionError(AcquisitionErrorKind k) : kind(k) {}  // NOLINT: implicit
    AcquisitionError(AcquisitionErrorKind k, std::string t) : kind(k), text(std::move(t)) {}
    static AcquisitionError read_failed(std::string t) {
        return {AcquisitionErrorKind::ReadFailed, std::move(t)};
    }
    friend bool operator==(const AcquisitionError&, const AcquisitionError&) = default;
};

// ------------------------------------------------------------------- Metadata
enum class MetadataErrorKind : std::uint8_t {
    InvalidFormat = 0,
    Unreadable = 1,
    Serialization = 2,
};

// Serialization carries the YAML reader's reason and position; no text of the
// system ever shows them (they exist for debugging only).
struct YamlError {
    std::string reason;
    std::size_t line = 0;
    std::size_t column = 0;
};

struct MetadataError {
    MetadataErrorKind kind = MetadataErrorKind::InvalidFormat;
    std::shared_ptr<const YamlError> yaml;  // Serialization only

    MetadataError() = default;
    MetadataError(MetadataErrorKind k) : kind(k) {}  // NOLINT: implicit
    static MetadataError serialization(YamlError e) {
        MetadataError m(MetadataErrorKind::Serialization);
        m.yaml = std::make_shared<const YamlError>(std::move(e));
        return m;
    }
    bool operator==(MetadataErrorKind k) const { return kind == k; }
};

std::string_view message(const MetadataError& e) noexcept;

// -------------------------------------------------------------------- Parsing
enum class ParsingError : std::uint8_t {
    InvalidParameters = 0,
    UnexpectedLength = 1,
    InvalidChannel = 2,
    InvalidWindowLabel = 3,
    MissingData = 4,
    EmptyPackage = 5,
    UnsupportedModel = 6,
    Unknown = 7,
};

std::string_view message(ParsingError e) noexcept;

// --------------------------------------------------------------------- Export
enum class ExportErrorKind : std::uint8_t {
    InvalidPath = 0,
    AccessDenied = 1,
    InvalidFormat = 2,
    InvalidOptions = 3,
    Csv = 4,
    Parsing = 5,
    AcquisitionAccess = 6,
    Unknown = 7,
};

// The CSV writer's failure: the errno of the failed write (0 when the failure
// is not an operating-system error).
struct CsvError {
    int os_error = 0;
};

struct ExportError {
    ExportErrorKind kind = ExportErrorKind::Unknown;
    // Csv carries CsvError, Parsing a ParsingError, AcquisitionAccess a MetadataError.
    std::variant<std::monostate, CsvError, ParsingError, MetadataError> cause;

    ExportError() = default;
    ExportError(ExportErrorKind k) : kind(k) {}  // NOLINT: implicit
    ExportError(CsvError e) : kind(ExportErrorKind::Csv), cause(e) {}  // NOLINT
    ExportError(ParsingError e) : kind(ExportErrorKind::Parsing), cause(e) {}  // NOLINT
    ExportError(MetadataError e) : kind(ExportErrorKind::AcquisitionAccess), cause(std::move(e)) {}  // NOLINT
    bool operator==(ExportErrorKind k) const { return kind == k; }

    // A failed file operation, by the kind of its errno alone.
    static ExportError from_errno(int err) noexcept;
};

std::string_view message(const ExportError& e) noexcept;
std::string_view message(ExportErrorKind k) noexcept;
std::string_view message(MetadataErrorKind k) noexcept;

// "{strerror} (os error {n})", the text of a failed read of an auxiliary file.
std::string os_error_text(int err);

}  // namespace error
}  // namespace vexoacq
