#include <cups/cups.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "domain/printing/cups/cups_calls.hpp"

namespace vantrel {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait inside libcups asks whether the deadline has passed.
constexpr double DEADLINE_POLL_SECONDS = 0.05;
// The piece in which an answer's body is read.
constexpr std::size_t ANSWER_READ_BYTES = 32 * 1024;

// A null result of libcups is no object: never owned, never freed.
struct IppDelete {
  static bool is_none(ipp_t* ipp) noexcept { return ipp == nullptr; }
  void operator()(ipp_t* ipp) const noexcept { ippDelete(ipp); }
};
using Ipp = Owned<ipp_t*, IppDelete>;

struct DestFree {
  static bool is_none(cups_dest_t* dest) noexcept { return dest == nullptr; }
  void operator()(cups_dest_t* dest) const noexcept { cupsFreeDests(1, dest); }
};
using Dest = Owned<cups_dest_t*, DestFree>;

struct CupsFileClose {
  static bool is_none(cups_file_t* file) noexcept { return file == nullptr; }
  void operator()(cups_file_t* file) const noexcept { cupsFileClose(file); }
};
using CupsFile = Owned<cups_file_t*, CupsFileClose>;

struct HttpClose {
  static bool is_none(http_t* http) noexcept { return http == nullptr; }
  void operator()(http_t* http) const noexcept { httpClose(http); }
};
using Http = Owned<http_t*, HttpClose>;

// A libcups option array, freed once on every path; the calls that grow it may move it.
class OptionArray {
 public:
  OptionArray() = default;
  OptionArray(const OptionArray&) = delete;
  OptionArray& operator=(const OptionArray&) = delete;
  ~OptionArray() { cupsFreeOptions(count_, options_); }

  void add(const char* name, const char* value) {
    count_ = cupsAddOption(name, value, count_, &options_);
  }
  void parse(const char* text) { count_ = cupsParseOptions(text, count_, &options_); }
  [[nodiscard]] std::span<const cups_option_t> options() const noexcept {
    return {options_, static_cast<std::size_t>(std::max(count_, 0))};
  }
  [[nodiscard]] int count() const noexcept { return count_; }
  [[nodiscard]] cups_option_t* data() const noexcept { return options_; }

 private:
  int count_ = 0;
  cups_option_t* options_ = nullptr;
};

// What a connection handle points at: the libcups connection and the deadline its timeout
// callback reads.
struct Connection {
  Http http;
  Clock::time_point deadline;
};

int wait_until_deadline(http_t*, void* connection) {
  return Clock::now() < static_cast<Connection*>(connection)->deadline ? 1 : 0;
}

http_t* http_of(const CupsConnection& connection) {
  return static_cast<Connection*>(connection.get())->http.get();
}

CupsReply no_answer(http_t* http, std::string text) {
  const int error = httpError(http);
  return CupsReply{false, 0, std::move(text), error};
}

// ---- requests

// A request about a queue, or a job on it: the queue's URI and the requesting user.
Ipp queue_request(ipp_op_t operation, std::string_view queue) {
  Ipp request(ippNewRequest(operation));
  char uri[HTTP_MAX_URI];
  const std::string name(queue);
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   "/printers/%s", name.c_str());
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  return request;
}

Ipp job_request(ipp_op_t operation, std::string_view queue, std::uint32_t job_id) {
  Ipp request = queue_request(operation, queue);
  ippAddInteger(request.get(), IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id",
                static_cast<int>(job_id));
  return request;
}

void add_requested(ipp_t* request, std::span<const std::string_view> requested) {
  if (requested.empty()) return;
  const std::vector<std::string> names(requested.begin(), requested.end());
  std::vector<const char*> values;
  for (const std::string& name : names) values.push_back(name.c_str());
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(values.size()), nullptr, values.data());
}

struct MemoryReader {
  const std::string& bytes;
  std::size_t at = 0;
};

ssize_t read_memory(void* context, ipp_uchar_t* buffer, size_t length) {
  auto& reader = *static_cast<MemoryReader*>(context);
  const std::size_t count = std::min(length, reader.bytes.size() - reader.at);
  std::memcpy(buffer, reader.bytes.data() + reader.at, count);
  reader.at += count;
  return static_cast<ssize_t>(count);
}

// One request and its answer, as cupsDoRequest and cupsGetResponse make them, except that the
// answer's body is read whole before it is decoded: libcups' own reader goes to the socket for
// every field, and under a deadline every such read polls twice, which made a printer's answer
// cost several times its scheduler's work. A document is sent chunked, as cupsStartDocument
// sends one.
std::expected<Ipp, CupsReply> exchange(http_t* http, const Ipp& request,
                                       std::span<const std::uint8_t> document = {}) {
  const bool chunked = !document.empty();
  http_status_t status = cupsSendRequest(http, request.get(), "/",
                                         chunked ? CUPS_LENGTH_VARIABLE : ippLength(request.get()));
  if (chunked && status == HTTP_STATUS_CONTINUE) {
    status =
        cupsWriteRequestData(http, reinterpret_cast<const char*>(document.data()), document.size());
  }
  if (status != HTTP_STATUS_CONTINUE && status != HTTP_STATUS_OK) {
    return std::unexpected(no_answer(http, httpStatus(status)));
  }
  // The last chunk; an early answer (a refusal) is read below all the same.
  if (chunked && httpWrite2(http, "", 0) < 0) {
    return std::unexpected(no_answer(http, "the document was not sent"));
  }
  do {
    status = httpUpdate(http);
  } while (status == HTTP_STATUS_CONTINUE);
  if (status != HTTP_STATUS_OK) {
    if (status != HTTP_STATUS_ERROR) httpFlush(http);
    return std::unexpected(no_answer(http, httpStatus(status)));
  }

  std::string body;
  char piece[ANSWER_READ_BYTES];
  ssize_t got = 0;
  while ((got = httpRead2(http, piece, sizeof piece)) > 0) body.append(piece, std::size_t(got));
  if (got < 0) return std::unexpected(no_answer(http, "the answer was cut off"));

  Ipp response(ippNew());
  MemoryReader reader{body};
  ipp_state_t state = IPP_STATE_IDLE;
  while ((state = ippReadIO(&reader, read_memory, 1, nullptr, response.get())) != IPP_STATE_DATA) {
    if (state == IPP_STATE_ERROR) {
      return std::unexpected(CupsReply{false, 0, "the answer could not be read", EINVAL});
    }
  }
  return response;
}

// The scheduler's status and its message, for an answer that is a refusal.
CupsReply reply_of(const Ipp& response) {
  const ipp_status_t status = ippGetStatusCode(response.get());
  ipp_attribute_t* message = ippFindAttribute(response.get(), "status-message", IPP_TAG_TEXT);
  const char* text = message ? ippGetString(message, 0, nullptr) : ippErrorString(status);
  return CupsReply{true, static_cast<std::uint32_t>(status), text ? text : "", 0};
}

// ---- answers as values

IppAttributes attributes_of(ipp_t* collection);

IppValue value_of(ipp_attribute_t* attribute, int index) {
  switch (ippGetValueTag(attribute)) {
    case IPP_TAG_INTEGER:
    case IPP_TAG_ENUM:
      return ippGetInteger(attribute, index);
    case IPP_TAG_BOOLEAN:
      return ippGetBoolean(attribute, index) != 0;
    case IPP_TAG_RESOLUTION: {
      ipp_res_t units = IPP_RES_PER_INCH;
      int y = 0;
      const int x = ippGetResolution(attribute, index, &y, &units);
      return IppResolution{x, y, units == IPP_RES_PER_CM};
    }
    case IPP_TAG_BEGIN_COLLECTION:
      return IppCollection{attributes_of(ippGetCollection(attribute, index))};
    case IPP_TAG_TEXT:
    case IPP_TAG_NAME:
    case IPP_TAG_TEXTLANG:
    case IPP_TAG_NAMELANG:
    case IPP_TAG_KEYWORD:
    case IPP_TAG_URI:
    case IPP_TAG_URISCHEME:
    case IPP_TAG_CHARSET:
    case IPP_TAG_LANGUAGE:
    case IPP_TAG_MIMETYPE: {
      const char* text = ippGetString(attribute, index, nullptr);
      return std::string(text ? text : "");
    }
    default:
      return std::monostate{};
  }
}

IppAttribute attribute_of(ipp_attribute_t* attribute) {
  IppAttribute result{ippGetName(attribute), {}};
  const int count = ippGetCount(attribute);
  result.values.reserve(std::size_t(count));
  for (int i = 0; i < count; ++i) result.values.push_back(value_of(attribute, i));
  return result;
}

IppAttributes attributes_of(ipp_t* collection) {
  IppAttributes attributes;
  for (ipp_attribute_t* a = ippFirstAttribute(collection); a; a = ippNextAttribute(collection)) {
    if (ippGetName(a) != nullptr) attributes.push_back(attribute_of(a));
  }
  return attributes;
}

// The attributes of each group of one kind in the answer (several for CUPS-Get-Printers).
std::vector<IppAttributes> groups_of(const Ipp& response, ipp_tag_t group) {
  std::vector<IppAttributes> groups;
  IppAttributes* current = nullptr;
  for (ipp_attribute_t* a = ippFirstAttribute(response.get()); a;
       a = ippNextAttribute(response.get())) {
    if (ippGetGroupTag(a) != group || ippGetName(a) == nullptr) {
      current = nullptr;  // a separator, or another group
      continue;
    }
    if (current == nullptr) current = &groups.emplace_back();
    current->push_back(attribute_of(a));
  }
  return groups;
}

std::expected<IppAttributes, CupsReply> one_group(std::expected<Ipp, CupsReply> response,
                                                  ipp_tag_t group) {
  if (!response) return std::unexpected(std::move(response.error()));
  if (CupsReply reply = reply_of(*response); !reply.ok()) return std::unexpected(std::move(reply));
  std::vector<IppAttributes> groups = groups_of(*response, group);
  return groups.empty() ? IppAttributes{} : std::move(groups.front());
}

// ---- lpoptions

// The options of `queue`'s primary instance in one lpoptions file ("Dest name options" and
// "Default name options" lines; names compare as CUPS compares them, without case).
void add_lpoptions(const std::string& path, std::string_view queue,
                   std::vector<CupsOption>& options) {
  const CupsFile file(cupsFileOpen(path.c_str(), "r"));
  if (!file) return;
  char line[8192];  // as libcups reads these files
  char* value = nullptr;
  int line_number = 0;
  while (cupsFileGetConf(file.get(), line, sizeof line, &value, &line_number)) {
    if (value == nullptr || (strcasecmp(line, "dest") != 0 && strcasecmp(line, "default") != 0)) {
      continue;
    }
    const std::string_view rest = value;
    const std::size_t name_end = std::min(rest.find_first_of(" \t/"), rest.size());
    const std::string_view name = rest.substr(0, name_end);
    if (name_end < rest.size() && rest[name_end] == '/') continue;  // another instance
    if (name.size() != queue.size() || strncasecmp(name.data(), queue.data(), name.size()) != 0) {
      continue;
    }
    const std::string text(rest.substr(name_end));
    OptionArray parsed;
    parsed.parse(text.c_str());
    for (const cups_option_t& option : parsed.options()) {
      options.emplace_back(option.name, option.value);
    }
  }
}

// The queue of the first "Default name[/instance] options" line of one lpoptions file; "" for none.
std::string lpoptions_default(const std::string& path) {
  const CupsFile file(cupsFileOpen(path.c_str(), "r"));
  if (!file) return {};
  char line[8192];
  char* value = nullptr;
  int line_number = 0;
  while (cupsFileGetConf(file.get(), line, sizeof line, &value, &line_number)) {
    if (value != nullptr && strcasecmp(line, "default") == 0) {
      const std::string_view rest = value;
      return std::string(rest.substr(0, std::min(rest.find_first_of(" \t/"), rest.size())));
    }
  }
  return {};
}

std::string server_root() {
  const char* root = std::getenv("CUPS_SERVERROOT");
  return root ? root : "/etc/cups";
}

std::string home_folder() {
  if (const char* home = std::getenv("HOME")) return home;
  const passwd* user = getpwuid(getuid());
  return user && user->pw_dir ? user->pw_dir : "";
}

class SystemCupsCalls final : public CupsCalls {
 public:
  std::expected<CupsConnection, CupsReply> connect(Clock::time_point deadline) override {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int msec = static_cast<int>(std::max<std::int64_t>(left.count(), 1));
    Http http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, msec,
                           nullptr));
    if (!http) {
      const int error = errno;
      return std::unexpected(CupsReply{false, 0, "no connection to the scheduler", error});
    }
    auto connection = std::make_unique<Connection>(Connection{std::move(http), deadline});
    httpSetTimeout(connection->http.get(), DEADLINE_POLL_SECONDS, wait_until_deadline,
                   connection.get());
    return CupsConnection(connection.release(), {this});
  }

  std::expected<std::vector<IppAttributes>, CupsReply> get_printers(
      const CupsConnection& connection, std::span<const std::string_view> requested) override {
    const Ipp request(ippNewRequest(IPP_OP_CUPS_GET_PRINTERS));
    add_requested(request.get(), requested);
    auto response = exchange(http_of(connection), request);
    if (!response) return std::unexpected(std::move(response.error()));
    if (CupsReply reply = reply_of(*response); !reply.ok()) {
      return std::unexpected(std::move(reply));
    }
    return groups_of(*response, IPP_TAG_PRINTER);
  }

  std::expected<IppAttributes, CupsReply> get_printer_attributes(
      const CupsConnection& connection, std::string_view queue,
      std::span<const std::string_view> requested) override {
    const Ipp request = queue_request(IPP_OP_GET_PRINTER_ATTRIBUTES, queue);
    add_requested(request.get(), requested);
    return one_group(exchange(http_of(connection), request), IPP_TAG_PRINTER);
  }

  std::expected<IppAttributes, CupsReply> get_job_attributes(
      const CupsConnection& connection, std::string_view queue, std::uint32_t job_id,
      std::span<const std::string_view> requested) override {
    const Ipp request = job_request(IPP_OP_GET_JOB_ATTRIBUTES, queue, job_id);
    add_requested(request.get(), requested);
    return one_group(exchange(http_of(connection), request), IPP_TAG_JOB);
  }

  std::string default_destination(const CupsConnection& connection) override {
    const Dest dest(cupsGetNamedDest(http_of(connection), nullptr, nullptr));
    return dest.get() && dest.get()->name ? std::string(dest.get()->name) : std::string();
  }

  std::string local_default_destination() override {
    for (const char* variable : {"LPDEST", "PRINTER"}) {
      const char* value = std::getenv(variable);
      if (value == nullptr || *value == '\0') continue;
      if (std::strcmp(variable, "PRINTER") == 0 && std::strcmp(value, "lp") == 0) continue;
      const std::string_view name = value;
      return std::string(name.substr(0, std::min(name.find('/'), name.size())));
    }
    if (const std::string home = home_folder(); !home.empty()) {
      if (std::string name = lpoptions_default(home + "/.cups/lpoptions"); !name.empty()) {
        return name;
      }
    }
    return lpoptions_default(server_root() + "/lpoptions");
  }

  std::vector<CupsOption> user_options(std::string_view queue) override {
    // The files and their order of cupsGetNamedDest: the later option wins.
    std::vector<CupsOption> options;
    add_lpoptions(server_root() + "/lpoptions", queue, options);
    if (const std::string home = home_folder(); !home.empty()) {
      add_lpoptions(home + "/.cups/lpoptions", queue, options);
    }
    return options;
  }

  std::optional<MediaSize> media_size_of_driver_name(std::string_view name) override {
    const std::string text(name);
    const pwg_media_t* media = pwgMediaForPWG(text.c_str());
    if (media == nullptr) media = pwgMediaForPPD(text.c_str());
    if (media == nullptr) media = pwgMediaForLegacy(text.c_str());
    if (media == nullptr) return std::nullopt;
    // PWG sizes are in hundredths of a millimetre; libcups' own arithmetic overflows on some
    // names, so its size is held to the host's limits before it is used.
    return media_size_of(media->width, media->length, 10);
  }

  std::expected<std::uint32_t, CupsReply> create_job(
      const CupsConnection& connection, std::string_view queue, std::string_view title,
      const std::vector<CupsOption>& options) override {
    const Ipp request = queue_request(IPP_OP_CREATE_JOB, queue);
    const std::string job_name(title);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr,
                 job_name.c_str());
    OptionArray encoded;
    for (const auto& [key, value] : options) encoded.add(key.c_str(), value.c_str());
    cupsEncodeOptions2(request.get(), encoded.count(), encoded.data(), IPP_TAG_JOB);

    auto response = exchange(http_of(connection), request);
    if (!response) return std::unexpected(std::move(response.error()));
    if (CupsReply reply = reply_of(*response); !reply.ok()) {
      return std::unexpected(std::move(reply));
    }
    ipp_attribute_t* job_id = ippFindAttribute(response->get(), "job-id", IPP_TAG_INTEGER);
    return job_id ? static_cast<std::uint32_t>(ippGetInteger(job_id, 0)) : 0u;
  }

  CupsReply send_document(const CupsConnection& connection, std::string_view queue,
                          std::uint32_t job_id, std::span<const std::uint8_t> document,
                          std::string_view document_format) override {
    const Ipp request = job_request(IPP_OP_SEND_DOCUMENT, queue, job_id);
    const std::string format(document_format);
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 format.c_str());
    ippAddBoolean(request.get(), IPP_TAG_OPERATION, "last-document", 1);
    auto response = exchange(http_of(connection), request, document);
    return response ? reply_of(*response) : std::move(response.error());
  }

  CupsReply cancel_job(const CupsConnection& connection, std::string_view queue,
                       std::uint32_t job_id) override {
    const Ipp request = job_request(IPP_OP_CANCEL_JOB, queue, job_id);
    auto response = exchange(http_of(connection), request);
    return response ? reply_of(*response) : std::move(response.error());
  }

  void close_connection(void* native) noexcept override {
    // The connection's owners close its libcups connection.
    std::unique_ptr<Connection>(static_cast<Connection*>(native)).reset();
  }
};

}  // namespace

CupsCalls& system_cups_calls() {
  static SystemCupsCalls calls;
  return calls;
}

}  // namespace vantrel
