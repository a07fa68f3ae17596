#include "tests/support/RecordingServer.h"

#include <algorithm>
#include <cstring>

#include "tests/support/Printable.h"

namespace refwarden::testing {

namespace {

std::string Describe(const Call& call) {
  std::string text = call.function + "(" + Printable(call.name);
  if (call.function == "SetHeader" || call.function == "AddHeader") {
    text += ", " + Printable(call.value);
  }
  text += ")";
  if (call.function == "GetServerVariable" || call.function == "GetHeader") {
    text += " into " + std::string(call.bufferZeroed ? "a zeroed" : "an unzeroed") + " buffer of " +
            std::to_string(call.size) + " bytes";
  }
  return text;
}

}  // namespace

RecordingServer::RecordingServer(std::string host, std::string referer, std::string url,
                                 ValueWriting writing)
    : host_(std::move(host)),
      referer_(std::move(referer)),
      url_(std::move(url)),
      writing_(writing) {}

DWORD RecordingServer::Send(HttpFilterProcFunction httpFilterProc, DWORD notification) {
  return SendNotification(httpFilterProc, *this, notification);
}

std::string RecordingServer::CheckRequestCalls(std::string_view rewrite) const {
  std::vector<Call> expected = {{"GetServerVariable", "HTTP_HOST", "", kServerValueBuffer, true},
                                {"GetServerVariable", "HTTP_REFERER", "", kServerValueBuffer, true},
                                {"GetHeader", "url", "", kServerValueBuffer, true}};
  if (!rewrite.empty()) expected.push_back({"SetHeader", "url", std::string(rewrite)});

  const auto same = [](const Call& a, const Call& b) {
    return a.function == b.function && a.name == b.name && a.value == b.value && a.size == b.size &&
           a.bufferZeroed == b.bufferZeroed;
  };
  if (std::equal(calls_.begin(), calls_.end(), expected.begin(), expected.end(), same)) return "";
  std::string wanted, made;
  for (const Call& call : expected) wanted += (wanted.empty() ? "" : ", ") + Describe(call);
  for (const Call& call : calls_) made += (made.empty() ? "" : ", ") + Describe(call);
  return "the filter called " + (made.empty() ? "nothing" : made) + "; due were " + wanted;
}

BOOL RecordingServer::Read(const char* function, const char* name, const std::string* value,
                           void* buffer, DWORD* size) {
  const char* bytes = static_cast<const char*>(buffer);
  calls_.push_back({function, name, "", *size,
                    std::all_of(bytes, bytes + *size, [](char b) { return b == 0; })});
  if (value == nullptr) return FALSE;
  if (writing_ == ValueWriting::kRawBytes) {
    std::memcpy(buffer, value->data(), std::min<std::size_t>(value->size(), *size));
    return TRUE;
  }
  if (value->empty()) return FALSE;
  return CopyServerValue(*value, buffer, size);
}

BOOL RecordingServer::GetServerVariable(const char* name, void* buffer, DWORD* size) {
  const std::string_view variable = name;
  const std::string* value = variable == "HTTP_HOST"      ? &host_
                             : variable == "HTTP_REFERER" ? &referer_
                                                          : nullptr;
  return Read("GetServerVariable", name, value, buffer, size);
}

BOOL RecordingServer::GetHeader(const char* name, void* buffer, DWORD* size) {
  return Read("GetHeader", name, std::string_view(name) == "url" ? &url_ : nullptr, buffer, size);
}

BOOL RecordingServer::SetHeader(const char* name, const char* value) {
  calls_.push_back({"SetHeader", name, value});
  return TRUE;
}

BOOL RecordingServer::AddHeader(const char* name, const char* value) {
  calls_.push_back({"AddHeader", name, value});
  return TRUE;
}

BOOL RecordingServer::AddResponseHeaders(const char* headers) {
  calls_.push_back({"AddResponseHeaders", headers});
  return TRUE;
}

BOOL RecordingServer::WriteClient(const void*, DWORD*) {
  calls_.push_back({"WriteClient", ""});
  return TRUE;
}

void* RecordingServer::AllocMem(DWORD) {
  calls_.push_back({"AllocMem", ""});
  return nullptr;
}

BOOL RecordingServer::ServerSupportFunction(SF_REQ_TYPE) {
  calls_.push_back({"ServerSupportFunction", ""});
  return TRUE;
}

}  // namespace refwarden::testing
