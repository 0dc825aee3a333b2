#include <iphlpapi.h>
#include <wininet.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "internal/machine.h"

namespace win32 {
namespace {

struct Adapter {
  std::string name;
  std::string description;
  UINT type = MIB_IF_TYPE_OTHER;
  std::vector<BYTE> mac;
  DWORD index = 0;
  std::string ip = "0.0.0.0";
  std::string mask = "0.0.0.0";
};

UINT TypeOfHostInterface(const std::string& name, unsigned short hatype) {
  if (hatype == ARPHRD_LOOPBACK) return MIB_IF_TYPE_LOOPBACK;
  if (hatype == ARPHRD_PPP) return MIB_IF_TYPE_PPP;
  if (hatype == ARPHRD_ETHER) {
    struct stat st {};
    if (stat(("/sys/class/net/" + name + "/wireless").c_str(), &st) == 0) return IF_TYPE_IEEE80211;
    return MIB_IF_TYPE_ETHERNET;
  }
  return MIB_IF_TYPE_OTHER;
}

std::vector<Adapter> HostAdapters() {
  std::vector<Adapter> adapters;
  std::map<std::string, std::pair<std::string, std::string>> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return adapters;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr) continue;
    if (a->ifa_addr->sa_family == AF_PACKET) {
      auto* ll = reinterpret_cast<sockaddr_ll*>(a->ifa_addr);
      Adapter adapter;
      adapter.name = a->ifa_name;
      adapter.description = a->ifa_name;
      adapter.type = TypeOfHostInterface(a->ifa_name, ll->sll_hatype);
      adapter.mac.assign(ll->sll_addr, ll->sll_addr + std::min<size_t>(ll->sll_halen, MAX_ADAPTER_ADDRESS_LENGTH));
      adapter.index = static_cast<DWORD>(ll->sll_ifindex);
      adapters.push_back(adapter);
    } else if (a->ifa_addr->sa_family == AF_INET && !addresses.count(a->ifa_name)) {
      char ip[INET_ADDRSTRLEN] = "0.0.0.0", mask[INET_ADDRSTRLEN] = "0.0.0.0";
      inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, ip, sizeof(ip));
      if (a->ifa_netmask)
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr, mask, sizeof(mask));
      addresses[a->ifa_name] = {ip, mask};
    }
  }
  freeifaddrs(list);
  for (auto& adapter : adapters) {
    auto it = addresses.find(adapter.name);
    if (it != addresses.end()) {
      adapter.ip = it->second.first;
      adapter.mask = it->second.second;
    }
  }
  return adapters;
}

// "00-11-22-33-44-55" (also with colons); false for anything else.
bool ParseMac(const std::string& text, std::vector<BYTE>* mac) {
  mac->clear();
  size_t i = 0;
  while (i < text.size() && mac->size() < MAX_ADAPTER_ADDRESS_LENGTH) {
    unsigned value = 0;
    int used = 0;
    if (sscanf(text.c_str() + i, "%2x%n", &value, &used) != 1 || used != 2) return false;
    mac->push_back(static_cast<BYTE>(value));
    i += 2;
    if (i < text.size()) {
      if (text[i] != '-' && text[i] != ':') return false;
      ++i;
    }
  }
  return i == text.size() && !mac->empty();
}

std::string StringMember(const Json::Value& object, const char* name, const std::string& fallback) {
  const Json::Value& value = object[name];
  return value.isString() ? value.asString() : fallback;
}

// machine.json's "adapters" replaces the host's list when present.
std::vector<Adapter> MachineAdapters() {
  Json::Value config = MachineConfig();
  if (!config.isObject() || !config.isMember("adapters") || !config["adapters"].isArray()) return HostAdapters();
  std::vector<Adapter> adapters;
  DWORD index = 1;
  for (const auto& entry : config["adapters"]) {
    if (!entry.isObject()) continue;
    Adapter adapter;
    adapter.name = StringMember(entry, "name", "");
    adapter.description = StringMember(entry, "description", adapter.name);
    adapter.type = entry["type"].isUInt() ? entry["type"].asUInt() : MIB_IF_TYPE_ETHERNET;
    if (!ParseMac(StringMember(entry, "mac", ""), &adapter.mac)) adapter.mac.clear();
    adapter.index = index++;
    adapters.push_back(adapter);
  }
  return adapters;
}

void CopyText(char* out, size_t capacity, const std::string& text) {
  size_t n = std::min(text.size(), capacity - 1);
  memcpy(out, text.data(), n);
  out[n] = '\0';
}

}  // namespace
}  // namespace win32

DWORD WINAPI GetAdaptersInfo(PIP_ADAPTER_INFO adapterInfo, PULONG size) {
  if (!size) return ERROR_INVALID_PARAMETER;
  std::vector<win32::Adapter> adapters = win32::MachineAdapters();
  if (adapters.empty()) return ERROR_NO_DATA;
  const ULONG needed = static_cast<ULONG>(adapters.size() * sizeof(IP_ADAPTER_INFO));
  if (!adapterInfo || *size < needed) {
    *size = needed;
    return ERROR_BUFFER_OVERFLOW;
  }
  memset(adapterInfo, 0, needed);
  for (size_t i = 0; i < adapters.size(); ++i) {
    const auto& a = adapters[i];
    IP_ADAPTER_INFO& out = adapterInfo[i];
    out.Next = i + 1 < adapters.size() ? &adapterInfo[i + 1] : nullptr;
    out.ComboIndex = a.index;
    win32::CopyText(out.AdapterName, sizeof(out.AdapterName), a.name);
    win32::CopyText(out.Description, sizeof(out.Description), a.description);
    out.AddressLength = static_cast<UINT>(a.mac.size());
    memcpy(out.Address, a.mac.data(), a.mac.size());
    out.Index = a.index;
    out.Type = a.type;
    win32::CopyText(out.IpAddressList.IpAddress.String, sizeof(out.IpAddressList.IpAddress.String), a.ip);
    win32::CopyText(out.IpAddressList.IpMask.String, sizeof(out.IpAddressList.IpMask.String), a.mask);
    win32::CopyText(out.GatewayList.IpAddress.String, sizeof(out.GatewayList.IpAddress.String), "0.0.0.0");
    win32::CopyText(out.GatewayList.IpMask.String, sizeof(out.GatewayList.IpMask.String), "0.0.0.0");
  }
  return ERROR_SUCCESS;
}

BOOL WINAPI InternetGetConnectedState(LPDWORD flags, DWORD reserved) {
  (void)reserved;
  Json::Value config = win32::MachineConfig();
  const bool offline = config.isObject() && win32::StringMember(config, "network", "") == "offline";
  if (flags) *flags = offline ? 0 : INTERNET_CONNECTION_LAN;
  return offline ? FALSE : TRUE;
}
