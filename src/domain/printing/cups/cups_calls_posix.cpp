#include <cups/cups.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "domain/printing/cups/cups_calls.hpp"

namespace vantrel {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait inside libcups asks whether the deadline has passed.
constexpr double DEADLINE_POLL_SECONDS = 0.05;

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

struct DestInfoFree {
  static bool is_none(cups_dinfo_t* info) noexcept { return info == nullptr; }
  void operator()(cups_dinfo_t* info) const noexcept { cupsFreeDestInfo(info); }
};
using DestInfo = Owned<cups_dinfo_t*, DestInfoFree>;

// What a connection handle points at: the libcups connection and the deadline its timeout
// callback reads.
struct Connection {
  http_t* http = nullptr;
  Clock::time_point deadline;
};

int wait_until_deadline(http_t*, void* connection) {
  return Clock::now() < static_cast<Connection*>(connection)->deadline ? 1 : 0;
}

http_t* http_of(const CupsConnection& connection) {
  return static_cast<Connection*>(connection.get())->http;
}

CupsReply reply_of(http_t* http, const Ipp& response) {
  CupsReply reply;
  reply.text = cupsLastErrorString() ? cupsLastErrorString() : "";
  if (response.get() != nullptr) {
    reply.answered = true;
    reply.status = static_cast<std::uint32_t>(ippGetStatusCode(response.get()));
  } else {
    reply.os_error = httpError(http);
  }
  return reply;
}

// The reply of a call that reports only cupsLastError(): a client-error status is the
// scheduler's answer, anything else may be the library's own.
CupsReply last_reply(http_t* http) {
  CupsReply reply;
  const ipp_status_t status = cupsLastError();
  reply.text = cupsLastErrorString() ? cupsLastErrorString() : "";
  reply.status = static_cast<std::uint32_t>(status);
  reply.answered = status < IPP_STATUS_ERROR_INTERNAL;
  if (!reply.answered) reply.os_error = httpError(http);
  return reply;
}

// A request about a queue, or a job on it: the queue's URI and the requesting user.
ipp_t* queue_request(ipp_op_t operation, std::string_view queue) {
  ipp_t* request = ippNewRequest(operation);
  char uri[HTTP_MAX_URI];
  const std::string name(queue);
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                   "/printers/%s", name.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  return request;
}

ipp_t* job_request(ipp_op_t operation, std::string_view queue, std::uint32_t job_id) {
  ipp_t* request = queue_request(operation, queue);
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", static_cast<int>(job_id));
  return request;
}

// cupsDoRequest takes the request and deletes it.
Ipp send(http_t* http, ipp_t* request) {
  return Ipp(cupsDoRequest(http, request, "/"));
}

int integer_of(ipp_t* collection, const char* name) {
  ipp_attribute_t* attribute = ippFindAttribute(collection, name, IPP_TAG_INTEGER);
  return attribute ? ippGetInteger(attribute, 0) : 0;
}

std::optional<CupsMedia> media_of_col(ipp_attribute_t* media_col, ipp_attribute_t* media_name) {
  if (media_col == nullptr) return std::nullopt;
  ipp_t* col = ippGetCollection(media_col, 0);
  ipp_attribute_t* size_attribute = ippFindAttribute(col, "media-size", IPP_TAG_BEGIN_COLLECTION);
  if (size_attribute == nullptr) return std::nullopt;
  ipp_t* size = ippGetCollection(size_attribute, 0);
  CupsMedia media;
  media.width = integer_of(size, "x-dimension");
  media.length = integer_of(size, "y-dimension");
  media.left = integer_of(col, "media-left-margin");
  media.right = integer_of(col, "media-right-margin");
  media.top = integer_of(col, "media-top-margin");
  media.bottom = integer_of(col, "media-bottom-margin");
  if (media_name != nullptr) {
    if (const char* name = ippGetString(media_name, 0, nullptr)) media.name = name;
  }
  if (media.name.empty()) {
    ipp_attribute_t* size_name = ippFindAttribute(col, "media-size-name", IPP_TAG_ZERO);
    if (const char* name = size_name ? ippGetString(size_name, 0, nullptr) : nullptr) {
      media.name = name;
    }
  }
  return media;
}

// A PPD size name "w<width>h<length>" in points (which libcups' name tables do not know) as
// hundredths of a millimetre.
std::optional<std::pair<int, int>> ppd_size_name(const char* name) {
  double width = 0;
  double length = 0;
  int used = 0;
  if (std::sscanf(name, "w%lfh%lf%n", &width, &length, &used) != 2 || name[used] != '\0' ||
      width <= 0 || length <= 0) {
    return std::nullopt;
  }
  return std::pair{static_cast<int>(width * 2540 / 72 + 0.5),
                   static_cast<int>(length * 2540 / 72 + 0.5)};
}

class SystemCupsCalls final : public CupsCalls {
 public:
  std::expected<CupsConnection, CupsReply> connect(Clock::time_point deadline) override {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int msec = static_cast<int>(std::max<std::int64_t>(left.count(), 1));
    http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                msec, nullptr);
    if (http == nullptr) {
      const int error = errno;
      return std::unexpected(CupsReply{false, 0, "no connection to the scheduler", error});
    }
    auto* connection = new Connection{http, deadline};
    httpSetTimeout(http, DEADLINE_POLL_SECONDS, wait_until_deadline, connection);
    return CupsConnection(connection, CloseCupsConnectionCall{this});
  }

  std::expected<std::vector<CupsPrinterRecord>, CupsReply> get_printers(
      const CupsConnection& connection) override {
    static const char* const ATTRIBUTES[] = {"printer-name", "printer-state",
                                             "printer-state-reasons", "printer-is-accepting-jobs"};
    ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(std::size(ATTRIBUTES)), nullptr, ATTRIBUTES);
    http_t* http = http_of(connection);
    const Ipp response = send(http, request);
    CupsReply reply = reply_of(http, response);
    if (!reply.ok()) return std::unexpected(std::move(reply));

    std::vector<CupsPrinterRecord> printers;
    CupsPrinterRecord* current = nullptr;
    for (ipp_attribute_t* attribute = ippFirstAttribute(response.get()); attribute != nullptr;
         attribute = ippNextAttribute(response.get())) {
      const char* name = ippGetName(attribute);
      if (ippGetGroupTag(attribute) != IPP_TAG_PRINTER || name == nullptr) {
        current = nullptr;  // a separator between printers
        continue;
      }
      if (current == nullptr) current = &printers.emplace_back();
      const std::string_view key = name;
      if (key == "printer-name") {
        if (const char* value = ippGetString(attribute, 0, nullptr)) current->name = value;
      } else if (key == "printer-state") {
        current->state = ippGetInteger(attribute, 0);
      } else if (key == "printer-is-accepting-jobs") {
        current->accepting_jobs = ippGetBoolean(attribute, 0) != 0;
      } else if (key == "printer-state-reasons") {
        for (int i = 0; i < ippGetCount(attribute); ++i) {
          if (const char* value = ippGetString(attribute, i, nullptr)) {
            current->reasons.emplace_back(value);
          }
        }
      }
    }
    return printers;
  }

  std::string default_destination(const CupsConnection& connection) override {
    const Dest dest(cupsGetNamedDest(http_of(connection), nullptr, nullptr));
    return dest.get() && dest.get()->name ? std::string(dest.get()->name) : std::string();
  }

  std::expected<CupsQueueDescription, CupsReply> describe_queue(const CupsConnection& connection,
                                                                std::string_view queue) override {
    http_t* http = http_of(connection);
    const std::string name(queue);
    const Dest dest(cupsGetNamedDest(http, name.c_str(), nullptr));
    if (dest.get() == nullptr) return std::unexpected(last_reply(http));
    const DestInfo info(cupsCopyDestInfo(http, dest.get()));
    if (info.get() == nullptr) return std::unexpected(last_reply(http));

    cups_dest_t* d = dest.get();
    CupsQueueDescription description;
    const char* accepting = cupsGetOption("printer-is-accepting-jobs", d->num_options, d->options);
    description.accepting_jobs = accepting != nullptr && std::string_view(accepting) == "true";
    description.default_media = media_of_col(cupsFindDestDefault(http, d, info.get(), "media-col"),
                                             cupsFindDestDefault(http, d, info.get(), "media"));
    if (const char* media = cupsGetOption("media", d->num_options, d->options)) {
      description.lpoptions_media_name = media;
      cups_size_t size{};
      // lpoptions may hold a PPD or legacy name ("w288h432", "Letter"); the lookup takes PWG names.
      const pwg_media_t* pwg = pwgMediaForPPD(media);
      if (pwg == nullptr) pwg = pwgMediaForLegacy(media);
      if (cupsGetDestMediaByName(http, d, info.get(), media, CUPS_MEDIA_FLAGS_DEFAULT, &size) ||
          (pwg != nullptr && cupsGetDestMediaByName(http, d, info.get(), pwg->pwg,
                                                    CUPS_MEDIA_FLAGS_DEFAULT, &size))) {
        description.lpoptions_media = CupsMedia{size.media, size.width, size.length, size.left,
                                                size.right, size.top,   size.bottom};
      } else if (pwg != nullptr) {
        // A PPD queue's media list does not always resolve a size by name: the name says the
        // size, and the queue gives no margins for it.
        description.lpoptions_media = CupsMedia{media, pwg->width, pwg->length, 0, 0, 0, 0};
      } else if (auto size_in_points = ppd_size_name(media)) {
        description.lpoptions_media =
            CupsMedia{media, size_in_points->first, size_in_points->second, 0, 0, 0, 0};
      }
    }
    if (ipp_attribute_t* resolution =
            cupsFindDestDefault(http, d, info.get(), "printer-resolution")) {
      ipp_res_t units = IPP_RES_PER_INCH;
      int y = 0;
      int x = ippGetResolution(resolution, 0, &y, &units);
      if (units == IPP_RES_PER_CM) {
        x = x * 254 / 100;
        y = y * 254 / 100;
      }
      description.resolution_x = x;
      description.resolution_y = y;
    }
    return description;
  }

  std::expected<std::uint32_t, CupsReply> create_job(
      const CupsConnection& connection, std::string_view queue, std::string_view title,
      const std::vector<CupsOption>& options) override {
    ipp_t* request = queue_request(IPP_OP_CREATE_JOB, queue);
    const std::string job_name(title);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, job_name.c_str());
    cups_option_t* encoded = nullptr;
    int count = 0;
    for (const auto& [key, value] : options) {
      count = cupsAddOption(key.c_str(), value.c_str(), count, &encoded);
    }
    cupsEncodeOptions2(request, count, encoded, IPP_TAG_JOB);
    cupsFreeOptions(count, encoded);

    http_t* http = http_of(connection);
    const Ipp response = send(http, request);
    CupsReply reply = reply_of(http, response);
    if (!reply.ok()) return std::unexpected(std::move(reply));
    ipp_attribute_t* job_id = ippFindAttribute(response.get(), "job-id", IPP_TAG_INTEGER);
    return job_id ? static_cast<std::uint32_t>(ippGetInteger(job_id, 0)) : 0u;
  }

  CupsReply send_document(const CupsConnection& connection, std::string_view queue,
                          std::uint32_t job_id, std::span<const std::uint8_t> pdf) override {
    const Ipp request(job_request(IPP_OP_SEND_DOCUMENT, queue, job_id));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 CUPS_FORMAT_PDF);
    ippAddBoolean(request.get(), IPP_TAG_OPERATION, "last-document", 1);
    http_t* http = http_of(connection);
    // Chunked, as cupsStartDocument sends documents: with a Content-Length libcups could not
    // read the answer (EINVAL) although the scheduler took the document.
    if (cupsSendRequest(http, request.get(), "/", CUPS_LENGTH_VARIABLE) == HTTP_STATUS_CONTINUE) {
      cupsWriteRequestData(http, reinterpret_cast<const char*>(pdf.data()), pdf.size());
    }
    // An early answer (a refusal) is read here as well.
    const Ipp response(cupsGetResponse(http, "/"));
    return reply_of(http, response);
  }

  CupsReply cancel_job(const CupsConnection& connection, std::string_view queue,
                       std::uint32_t job_id) override {
    http_t* http = http_of(connection);
    const Ipp response = send(http, job_request(IPP_OP_CANCEL_JOB, queue, job_id));
    return reply_of(http, response);
  }

  std::expected<int, CupsReply> job_state(const CupsConnection& connection, std::string_view queue,
                                          std::uint32_t job_id) override {
    ipp_t* request = job_request(IPP_OP_GET_JOB_ATTRIBUTES, queue, job_id);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "job-state");
    http_t* http = http_of(connection);
    const Ipp response = send(http, request);
    CupsReply reply = reply_of(http, response);
    if (!reply.ok()) return std::unexpected(std::move(reply));
    ipp_attribute_t* state = ippFindAttribute(response.get(), "job-state", IPP_TAG_ENUM);
    if (state == nullptr) return std::unexpected(CupsReply{false, 0, "no job-state", 0});
    return ippGetInteger(state, 0);
  }

  void close_connection(void* native) noexcept override {
    auto* connection = static_cast<Connection*>(native);
    httpClose(connection->http);
    delete connection;
  }
};

}  // namespace

CupsCalls& system_cups_calls() {
  static SystemCupsCalls calls;
  return calls;
}

}  // namespace vantrel
