#include <gtest/gtest.h>

#include <iphlpapi.h>
#include <wininet.h>

#include <string>
#include <vector>

#include "support/temp_machine.h"

using testing_support::TempMachine;

namespace {
std::vector<IP_ADAPTER_INFO> Adapters(DWORD* result) {
  ULONG size = 0;
  *result = GetAdaptersInfo(nullptr, &size);
  if (*result != ERROR_BUFFER_OVERFLOW) return {};
  std::vector<IP_ADAPTER_INFO> buffer(size / sizeof(IP_ADAPTER_INFO));
  *result = GetAdaptersInfo(buffer.data(), &size);
  return buffer;
}
}  // namespace

TEST(Adapters, MachineListReplacesTheHostsInItsOrder) {
  TempMachine m;
  m.WriteConfig(R"({"adapters": [
      {"name": "wlan0", "description": "Wireless", "type": 71, "mac": "02-00-00-00-00-01"},
      {"name": "eth0", "description": "Intel(R) Ethernet", "type": 6, "mac": "00-1a-2B-3c-4D-5e"},
      {"name": "eth1", "type": 6, "mac": "00:11:22:33:44:55"}]})");
  ULONG size = sizeof(IP_ADAPTER_INFO);
  std::vector<IP_ADAPTER_INFO> one(1);
  EXPECT_EQ(static_cast<DWORD>(ERROR_BUFFER_OVERFLOW), GetAdaptersInfo(one.data(), &size));
  EXPECT_EQ(3 * sizeof(IP_ADAPTER_INFO), size);

  DWORD result = 0;
  std::vector<IP_ADAPTER_INFO> adapters = Adapters(&result);
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), result);
  const IP_ADAPTER_INFO* first = &adapters[0];
  EXPECT_EQ(71u, first->Type);
  EXPECT_STREQ("Wireless", first->Description);
  const IP_ADAPTER_INFO* second = first->Next;
  ASSERT_NE(nullptr, second);
  EXPECT_STREQ("eth0", second->AdapterName);
  EXPECT_EQ(static_cast<UINT>(MIB_IF_TYPE_ETHERNET), second->Type);
  ASSERT_EQ(6u, second->AddressLength);
  const BYTE expected[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
  EXPECT_EQ(0, memcmp(expected, second->Address, 6));
  ASSERT_NE(nullptr, second->Next);
  EXPECT_STREQ("eth1", second->Next->Description);  // description defaults to the name
  EXPECT_EQ(0x55, second->Next->Address[5]);
  EXPECT_EQ(nullptr, second->Next->Next);

  m.WriteConfig(R"({"adapters": []})");
  size = 0;
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_DATA), GetAdaptersInfo(nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetAdaptersInfo(nullptr, nullptr));
}

TEST(Adapters, HostInterfacesIncludeTheLoopback) {
  TempMachine m;
  DWORD result = 0;
  std::vector<IP_ADAPTER_INFO> adapters = Adapters(&result);
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), result);
  bool loopback = false;
  for (const IP_ADAPTER_INFO* a = adapters.data(); a; a = a->Next) {
    if (std::string(a->AdapterName) == "lo") {
      loopback = true;
      EXPECT_EQ(static_cast<UINT>(MIB_IF_TYPE_LOOPBACK), a->Type);
      EXPECT_STREQ("127.0.0.1", a->IpAddressList.IpAddress.String);
    }
    if (a->Type == MIB_IF_TYPE_ETHERNET) {
      EXPECT_EQ(6u, a->AddressLength) << a->AdapterName;
    }
  }
  EXPECT_TRUE(loopback);
}

TEST(ConnectedState, FollowsTheMachine) {
  TempMachine m;
  DWORD flags = 0;
  EXPECT_TRUE(InternetGetConnectedState(&flags, 0));
  EXPECT_EQ(static_cast<DWORD>(INTERNET_CONNECTION_LAN), flags);
  m.WriteConfig(R"({"network": "offline"})");
  EXPECT_FALSE(InternetGetConnectedState(&flags, 0));
  m.WriteConfig(R"({"network": {"odd": 1}})");
  EXPECT_TRUE(InternetGetConnectedState(&flags, 0));
}
