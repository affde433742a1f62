// The special callbacks: advice on thread creation, wait timeouts and handle lists,
// socket error names and the terminal-services results.
#include "recording/option_callbacks.h"

#include <winsock2.h>

#include <algorithm>
#include <cstddef>
#include <iterator>

#include "base/memory_probe.h"
#include "tracelog/line_builder.h"

namespace qelvorn {

namespace {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kShownHandles = 10;
constexpr uint32_t kShownSessions = 10;

struct CodeName {
  uint32_t code;
  const char* name;
};

// Sorted by code as unsigned 32-bit values, for a binary search.
const CodeName kWsaNames[] = {
    {0u, "WSA_OK"},
    {6u, "WSA_INVALID_HANDLE"},
    {8u, "WSA_NOT_ENOUGH_MEMORY"},
    {64u, "WSA_MAXIMUM_WAIT_EVENTS"},
    {87u, "WSA_INVALID_PARAMETER"},
    {192u, "WSA_WAIT_IO_COMPLETION"},
    {258u, "WSA_WAIT_TIMEOUT"},
    {995u, "WSA_OPERATION_ABORTED"},
    {996u, "WSA_IO_INCOMPLETE"},
    {997u, "WSA_IO_PENDING"},
    {10004u, "WSAEINTR"},
    {10009u, "WSAEBADF"},
    {10013u, "WSAEACCES"},
    {10014u, "WSAEFAULT"},
    {10022u, "WSAEINVAL"},
    {10024u, "WSAEMFILE"},
    {10035u, "WSAEWOULDBLOCK"},
    {10036u, "WSAEINPROGRESS"},
    {10037u, "WSAEALREADY"},
    {10038u, "WSAENOTSOCK"},
    {10039u, "WSAEDESTADDRREQ"},
    {10040u, "WSAEMSGSIZE"},
    {10041u, "WSAEPROTOTYPE"},
    {10042u, "WSAENOPROTOOPT"},
    {10043u, "WSAEPROTONOSUPPORT"},
    {10044u, "WSAESOCKTNOSUPPORT"},
    {10045u, "WSAEOPNOTSUPP"},
    {10046u, "WSAEPFNOSUPPORT"},
    {10047u, "WSAEAFNOSUPPORT"},
    {10048u, "WSAEADDRINUSE"},
    {10049u, "WSAEADDRNOTAVAIL"},
    {10050u, "WSAENETDOWN"},
    {10051u, "WSAENETUNREACH"},
    {10052u, "WSAENETRESET"},
    {10053u, "WSAECONNABORTED"},
    {10054u, "WSAECONNRESET"},
    {10055u, "WSAENOBUFS"},
    {10056u, "WSAEISCONN"},
    {10057u, "WSAENOTCONN"},
    {10058u, "WSAESHUTDOWN"},
    {10059u, "WSAETOOMANYREFS"},
    {10060u, "WSAETIMEDOUT"},
    {10061u, "WSAECONNREFUSED"},
    {10062u, "WSAELOOP"},
    {10063u, "WSAENAMETOOLONG"},
    {10064u, "WSAEHOSTDOWN"},
    {10065u, "WSAEHOSTUNREACH"},
    {10066u, "WSAENOTEMPTY"},
    {10067u, "WSAEPROCLIM"},
    {10068u, "WSAEUSERS"},
    {10069u, "WSAEDQUOT"},
    {10070u, "WSAESTALE"},
    {10071u, "WSAEREMOTE"},
    {10091u, "WSASYSNOTREADY"},
    {10092u, "WSAVERNOTSUPPORTED"},
    {10093u, "WSANOTINITIALISED"},
    {10101u, "WSAEDISCON"},
    {10102u, "WSAENOMORE"},
    {10103u, "WSAECANCELLED"},
    {10104u, "WSAEINVALIDPROCTABLE"},
    {10105u, "WSAEINVALIDPROVIDER"},
    {10106u, "WSAEPROVIDERFAILEDINIT"},
    {10107u, "WSASYSCALLFAILURE"},
    {10108u, "WSASERVICE_NOT_FOUND"},
    {10109u, "WSATYPE_NOT_FOUND"},
    {10110u, "WSA_E_NO_MORE"},
    {10111u, "WSA_E_CANCELLED"},
    {10112u, "WSAEREFUSED"},
    {11001u, "WSAHOST_NOT_FOUND"},
    {11002u, "WSATRY_AGAIN"},
    {11003u, "WSANO_RECOVERY"},
    {11004u, "WSANO_DATA"},
    {11005u, "WSA_QOS_RECEIVERS"},
    {11006u, "WSA_QOS_SENDERS"},
    {11007u, "WSA_QOS_NO_SENDERS"},
    {11008u, "WSA_QOS_NO_RECEIVERS"},
    {11009u, "WSA_QOS_REQUEST_CONFIRMED"},
    {11010u, "WSA_QOS_ADMISSION_FAILURE"},
    {11011u, "WSA_QOS_POLICY_FAILURE"},
    {11012u, "WSA_QOS_BAD_STYLE"},
    {11013u, "WSA_QOS_BAD_OBJECT"},
    {11014u, "WSA_QOS_TRAFFIC_CTRL_ERROR"},
    {11015u, "WSA_QOS_GENERIC_ERROR"},
    {11016u, "WSA_QOS_ESERVICETYPE"},
    {11017u, "WSA_QOS_EFLOWSPEC"},
    {11018u, "WSA_QOS_EPROVSPECBUF"},
    {11019u, "WSA_QOS_EFILTERSTYLE"},
    {11020u, "WSA_QOS_EFILTERTYPE"},
    {11021u, "WSA_QOS_EFILTERCOUNT"},
    {11022u, "WSA_QOS_EOBJLENGTH"},
    {11023u, "WSA_QOS_EFLOWCOUNT"},
    {11024u, "WSA_QOS_EUNKOWNPSOBJ"},
    {11025u, "WSA_QOS_EPOLICYOBJ"},
    {11026u, "WSA_QOS_EFLOWDESC"},
    {11027u, "WSA_QOS_EPSFLOWSPEC"},
    {11028u, "WSA_QOS_EPSFILTERSPEC"},
    {11029u, "WSA_QOS_ESDMODEOBJ"},
    {11030u, "WSA_QOS_ESHAPERATEOBJ"},
    {11031u, "WSA_QOS_RESERVED_PETYPE"},
    {0xFFFFFFFFu, "WSA_WAIT_FAILED"},
};

void AppendTimeout(LineBuilder* builder, uint32_t timeout, const char* text) {
  if (timeout == kInfinite) builder->AppendText(text);
}

void AppendWait(CallFrame* frame, LineBuilder* builder, uint32_t timeoutIndex, const char* text) {
  AppendTimeout(builder, Low32(frame->args[timeoutIndex]), text);
  builder->AppendHandleList(Low32(frame->args[0]), kShownHandles,
                            reinterpret_cast<const uintptr_t*>(frame->args[1]));
}

// Reads a value that a traced call's out-argument points to, without faulting.
template <class T>
bool ReadWord(uintptr_t address, T* value) {
  const char* first = reinterpret_cast<const char*>(address);
  if (!IsReadable(first) || !IsReadable(first + sizeof(T) - 1)) return false;
  *value = *reinterpret_cast<const T*>(address);
  return true;
}

// One entry of the session array (WTS_SESSION_INFOA).
struct SessionRecord {
  uint32_t id;
  uintptr_t name;
  uint32_t state;
};

}  // namespace

const char* WsaErrorName(uint32_t code) {
  auto found = std::lower_bound(std::begin(kWsaNames), std::end(kWsaNames), code,
                                [](const CodeName& entry, uint32_t c) { return entry.code < c; });
  return found != std::end(kWsaNames) && found->code == code ? found->name : "";
}

void ThreadAdvice(CallFrame*, LineBuilder* builder, bool) {
  builder->AppendText(kThreadAdviceText);
}

void SingleWait(CallFrame* frame, LineBuilder* builder, bool) {
  AppendTimeout(builder, Low32(frame->args[1]), "INFINITE");
}

void MultipleWait(CallFrame* frame, LineBuilder* builder, bool) {
  AppendWait(frame, builder, 3, "INFINITE ");
}

void MultipleWaitEx(CallFrame* frame, LineBuilder* builder, bool) {
  AppendWait(frame, builder, 3, "INFINITE");
}

void MsgMultipleWaitEx(CallFrame* frame, LineBuilder* builder, bool) {
  AppendWait(frame, builder, 2, "INFINITE");
}

void SignalAndWait(CallFrame* frame, LineBuilder* builder, bool) {
  AppendTimeout(builder, Low32(frame->args[2]), "INFINITE");
}

void DoNothing(CallFrame*, LineBuilder*, bool) {}

void SocketErrorName(CallFrame*, LineBuilder* builder, bool) {
  uint32_t code = static_cast<uint32_t>(WSAGetLastError());
  builder->AppendText("[");
  builder->AppendText(WsaErrorName(code));
  builder->AppendText(":");
  builder->AppendInt(static_cast<int32_t>(code));
  builder->AppendText("]");
}

// The out-arguments hold nothing defined when the call failed, so a failed call adds
// nothing; a successful one is read through the readability test.
void SessionList(CallFrame* frame, LineBuilder* builder, bool) {
  if (Low32(frame->result) == 0) return;
  uint32_t total = 0;
  if (!ReadWord(frame->args[4], &total)) {
    builder->AppendBadPointer(frame->args[4]);
    return;
  }
  builder->AppendText("(");
  builder->AppendInt(static_cast<int32_t>(total));
  builder->AppendText(" sessions:");
  uintptr_t records = 0;
  if (total != 0 && !ReadWord(frame->args[3], &records)) {
    builder->AppendBadPointer(frame->args[3]);
    builder->AppendText(")");
    return;
  }
  uint32_t shown = std::min(total, kShownSessions);
  for (uint32_t i = 0; i < shown; ++i) {
    uintptr_t record = records + i * sizeof(SessionRecord);
    uint32_t id = 0;
    uintptr_t name = 0;
    uint32_t state = 0;
    if (!ReadWord(record + offsetof(SessionRecord, id), &id) ||
        !ReadWord(record + offsetof(SessionRecord, name), &name) ||
        !ReadWord(record + offsetof(SessionRecord, state), &state)) {
      builder->AppendBadPointer(record);
      break;
    }
    if (i > 0) builder->AppendText("/");
    builder->AppendText("id:");
    builder->AppendInt(static_cast<int32_t>(id));
    builder->AppendText(" name:");
    builder->AppendTracedText(reinterpret_cast<const char*>(name));
    builder->AppendText(" state:");
    builder->AppendInt(static_cast<int32_t>(state));
  }
  builder->AppendText(total > kShownSessions ? "...)" : ")");
}

void QueriedSessionText(CallFrame* frame, LineBuilder* builder, bool) {
  if (Low32(frame->result) == 0) return;
  uintptr_t text = 0;
  if (!ReadWord(frame->args[3], &text)) {
    builder->AppendBadPointer(frame->args[3]);
    return;
  }
  builder->AppendTracedText(reinterpret_cast<const char*>(text));
}

}  // namespace qelvorn
