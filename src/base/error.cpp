#include "base/error.hpp"

#include <array>
#include <utility>

#include "base/name_table.hpp"

namespace vantrel {
namespace {

constexpr NameTable<ErrorCode, 18> ERROR_CODE_NAMES{{
    {ErrorCode::BAD_REQUEST, "BAD_REQUEST"},
    {ErrorCode::PAYLOAD_TOO_LARGE, "PAYLOAD_TOO_LARGE"},
    {ErrorCode::PROTOCOL_MISMATCH, "PROTOCOL_MISMATCH"},
    {ErrorCode::UNKNOWN_MESSAGE, "UNKNOWN_MESSAGE"},
    {ErrorCode::STATE_UNAVAILABLE, "STATE_UNAVAILABLE"},
    {ErrorCode::BRIDGE_BUSY, "BRIDGE_BUSY"},
    {ErrorCode::STATE_VERSION, "STATE_VERSION"},
    {ErrorCode::STATE_CORRUPT, "STATE_CORRUPT"},
    {ErrorCode::JOB_NOT_FOUND, "JOB_NOT_FOUND"},
    {ErrorCode::INTENT_CONFLICT, "INTENT_CONFLICT"},
    {ErrorCode::ATTEMPT_FAILED, "ATTEMPT_FAILED"},
    {ErrorCode::UNKNOWN_OUTCOME, "UNKNOWN_OUTCOME"},
    {ErrorCode::PRE_SUBMIT_UNAVAILABLE, "PRE_SUBMIT_UNAVAILABLE"},
    {ErrorCode::MEDIA_UNSUPPORTED, "MEDIA_UNSUPPORTED"},
    {ErrorCode::MEDIA_MISMATCH, "MEDIA_MISMATCH"},
    {ErrorCode::SUBMISSION_REJECTED, "SUBMISSION_REJECTED"},
    {ErrorCode::PRINT_SYSTEM_UNAVAILABLE, "PRINT_SYSTEM_UNAVAILABLE"},
    {ErrorCode::IO_ERROR, "IO_ERROR"},
}};

static_assert(static_cast<std::size_t>(ErrorCode::IO_ERROR) + 1 == ERROR_CODE_NAMES.size());

}  // namespace

std::string_view error_code_name(ErrorCode code) noexcept {
  return ERROR_CODE_NAMES.name_of(code);
}

}  // namespace vantrel
