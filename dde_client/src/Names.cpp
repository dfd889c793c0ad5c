#include "Names.h"

#include <cstdio>

namespace corvane {

std::string Hex(int32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(static_cast<uint32_t>(value)));
  return buf;
}

static std::string Key(const char* prefix, int32_t v) { return prefix + std::to_string(v); }
std::string ConvKey(int32_t h) { return Key("C-", h); }
std::string ItemKey(int32_t h) { return Key("I-", h); }
std::string TransKey(int32_t h) { return Key("T-", h); }
std::string ServiceKey(int32_t h) { return Key("Sv-", h); }

std::string ErrorName(int32_t code) {
  // Tested in this order; the first match names the code, so 16384 is "DMLERR_ADVACKTIMEOUT"
  // and 16401 "DMLERR_LAST".
  static const struct {
    int32_t code;
    const char* name;
  } kNames[] = {
      {16384, "DMLERR_ADVACKTIMEOUT"},    {16385, "DMLERR_BUSY"},
      {16386, "DMLERR_DATAACKTIMEOUT"},   {16387, "DMLERR_DLL_NOT_INITIALIZED"},
      {16388, "DMLERR_DLL_USAGE"},        {16389, "DMLERR_EXECACKTIMEOUT"},
      {16384, "DMLERR_FIRST"},            {16390, "DMLERR_INVALIDPARAMETER"},
      {16401, "DMLERR_LAST"},             {16391, "DMLERR_LOW_MEMORY"},
      {16392, "DMLERR_MEMORY_ERROR"},     {16394, "DMLERR_NO_CONV_ESTABLISHED"},
      {0, "DMLERR_NO_ERROR"},             {16393, "DMLERR_NOTPROCESSED"},
      {16395, "DMLERR_POKEACKTIMEOUT"},   {16396, "DMLERR_POSTMSG_FAILED"},
      {16397, "DMLERR_REENTRANCY"},       {16398, "DMLERR_SERVER_DIED"},
      {16399, "DMLERR_SYS_ERROR"},        {16400, "DMLERR_UNADVACKTIMEOUT"},
      {16401, "DMLERR_UNFOUND_QUEUE_ID"},
  };
  for (const auto& n : kNames)
    if (n.code == code) return n.name;
  return "";
}

int32_t MapLastError(int32_t code) {
  if (code == 0 || (code >= 16384 && code <= 16401)) return code;
  return -1;
}

std::string TransTypeName(int32_t type) {
  static const char* const kNames[] = {
      "TRANS_START_ADVISE_LOOP", "TRANS_START_REQUEST_LOOP", "TRANS_STOP_ADVISE_LOOP",
      "TRANS_STOP_REQUEST_LOOP", "TRANS_POKE_DATA",          "TRANS_REQUEST_DATA",
      "TRANS_EXECUTE_COMMAND"};
  if (type < 1 || type > 7) return "";
  return kNames[type - 1];
}

int32_t RoundedElementCount(int32_t size, int32_t width) {
  if (size <= 0 || width <= 0) return 0;
  int32_t q = size / width, r = size % width;
  if (2 * r > width) return q + 1;
  if (2 * r == width) return q + (q & 1);
  return q;
}

std::string LogStamp(int year, int month, int day, int hour, int minute, int second) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const char* m = (month >= 1 && month <= 12) ? kMonths[month - 1] : "???";
  char buf[40];
  std::snprintf(buf, sizeof buf, "%02d-%s-%02d %02d:%02d:%02d", day, m, ((year % 100) + 100) % 100,
                hour, minute, second);
  return buf;
}

CallbackKind ClassifyCallback(uint32_t t) {
  switch (t) {
    case 0x4010: return {"", "DDE_FACK", 0x8000, true};         // XTYP_ADVDATA
    case 0x8080: return {"", "-", 0, true};                     // XTYP_XACT_COMPLETE
    case 0x80C2: return {"XTYP_DISCONNECT", "-", 0, true};
    case 0x80A2: return {"", "-", 0, true};                     // XTYP_REGISTER
    case 0x80D2: return {"", "-", 0, true};                     // XTYP_UNREGISTER
    case 0x8002: return {"XTYP_ERROR (Notification)", "0", 0, false};
    case 0x8040: return {"XTYP_ADVSTOP (Notification)", "-", 0, false};
    case 0x8072: return {"XTYP_CONNECT_CONFIRM (Notification)", "-", 0, false};
    case 0x80F2: return {"XTYP_MONITOR (Notification)", "-", 0, false};
    case 0x1062: return {"XTYP_CONNECT", "FALSE", 0, false};
    case 0x1030: return {"XTYP_ADVSTART", "FALSE", 0, false};
    case 0x2022: return {"XTYP_ADVREQ", "FALSE", 0, false};
    case 0x20B0: return {"XTYP_REQUEST", "DDE_FNOTPROCESSED", 0, false};
    case 0x20E2: return {"XTYP_WILDCONNECT", "DDE_FNOTPROCESSED", 0, false};
    case 0x4090: return {"XTYP_POKE", "DDE_FNOTPROCESSED", 0, false};
    case 0x4050: return {"XTYP_EXECUTE", "DDE_FNOTPROCESSED", 0, false};
    default: return {"Unknown (&H" + Hex(static_cast<int32_t>(t)) + ")", "0", 0, false};
  }
}

}  // namespace corvane
