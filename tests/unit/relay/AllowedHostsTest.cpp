// [TCP] AllowedHosts: which destinations the relay may connect to, and the relay's own readings
// of host and port texts that the list is compared after.
#include <gtest/gtest.h>

#include "relay/AllowedHosts.h"

namespace {

TEST(AllowedHosts, MatchesHostAndPortAsTheRelayConnects) {
  const char kList[] = " 192.168.1.10:9000 ,Bank-Host.example:* ";
  const struct {
    const char* host;
    unsigned port;
    bool allowed;
  } kCases[] = {
      {"192.168.1.10", 9000, true},         {"192.168.1.10", 9001, false},  // another port of an allowed host
      {"192.168.1.11", 9000, false},                                        // another host
      {"192.168.001.010", 9000, true},                                      // leading zeros: the same address
      {"192.168.1.10.5", 9000, true},  // the relay drops what follows the fourth number
      {"bank-host.EXAMPLE", 1, true},  // names without regard to case, any port
      {"other.example", 9000, false},  // a name not listed
      {"bank-host.example.evil", 1, false}, {"", 9000, false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.allowed, IsDestinationAllowed(kList, c.host, c.port)) << c.host << ":" << c.port;
  }
}

TEST(AllowedHosts, EmptyListAllowsEverythingAndMalformedEntriesNothing) {
  for (const char* list : {static_cast<const char*>(nullptr), "", "  ", " , "}) {
    EXPECT_TRUE(IsDestinationAllowed(list, "10.0.0.1", 1)) << (list ? list : "null");
  }
  for (const char* list : {"10.0.0.1", "10.0.0.1:", ":9000", "10.0.0.1:x", "10.0.0.1:65536", "10.0.0.1:-1",
                           "10.0.0.1:90000", ":"}) {
    EXPECT_FALSE(IsDestinationAllowed(list, "10.0.0.1", 9000)) << list;
  }
  EXPECT_TRUE(IsDestinationAllowed("10.0.0.1:x,10.0.0.1:9000", "10.0.0.1", 9000));
  EXPECT_TRUE(IsDestinationAllowed("010.000.000.001:00080", "10.0.0.1", 80));
}

TEST(AllowedHosts, PortAndHostReadLikeTheRelayReadsThem) {
  const struct {
    const char* text;
    unsigned port;
  } kPorts[] = {{"9000", 9000}, {" 9000", 9000}, {"90ab", 90}, {"abc", 0}, {"70000", 0}, {"-5", 0}, {"", 0}};
  for (const auto& c : kPorts) EXPECT_EQ(c.port, RelayPortNumber(c.text)) << c.text;
  // The relay connects to (and AllowedHosts compares) the normalised text.
  char out[64];
  NormalizeHostText(" 192.168.001.010abc", out, sizeof(out));
  EXPECT_STREQ("192.168.1.10", out);
  NormalizeHostText("bank.example", out, sizeof(out));
  EXPECT_STREQ("bank.example", out);
}

}  // namespace
