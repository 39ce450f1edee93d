#pragma once

#include <string>

#include "base/error.hpp"
#include "base/json.hpp"
#include "domain/messages/submit_batch.hpp"
#include "domain/submit/submit_request.hpp"

namespace vantrel {

// The request payloads of the wire, mapped into the domain's typed requests.

// Maps the parsed "payload" of a "submit" envelope. Every failure, at any depth, is
// BAD_REQUEST "The print job does not match protocol 1.".
[[nodiscard]] Result<SubmitRequest> map_submit_request(const JsonValue& payload);

// Maps the parsed "payload" of a "submit_batch" envelope: the shared printer, title, media and
// dpi, and "labels" of {intent_id, copies, payload}. A payload of any other shape, at any depth,
// is BAD_REQUEST "The print job does not match protocol 1." as a submit's is.
[[nodiscard]] Result<SubmitBatchRequest> map_submit_batch_request(const JsonValue& payload);

// The "intent_id" of a "get_job" payload: an object member holding an identifier of 1..160
// bytes. Anything else is BAD_REQUEST "intent_id contains unsupported characters.".
[[nodiscard]] Result<std::string> read_get_job_intent_id(const JsonValue& payload);

// The "printer" of a "get_printer" payload: an object member holding a string. Anything else is
// BAD_REQUEST "printer is empty, too long, or contains control characters.", as is a name
// that breaks the queue-name rule (checked by the use case).
[[nodiscard]] Result<std::string> read_get_printer_name(const JsonValue& payload);

}  // namespace vantrel
