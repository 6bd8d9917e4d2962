#include <gtest/gtest.h>

#include "net/server_text.h"

TEST(ServerText, ReadsHostPortAndBracketedIPv6OrSaysWhyNot) {
  const std::string name253 = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') +
                              "." + std::string(61, 'd');
  struct Case {
    std::string text, host;
    int port;
    std::string problem;
  } cases[] = {
      {"", "", 49556, ""},
      {"  sky.example.org  ", "sky.example.org", 49556, ""},
      {"sky.example.org.:5000", "sky.example.org.", 5000, ""},
      {"203.0.113.10:1", "203.0.113.10", 1, ""},
      {"[2001:db8::1]:65535", "2001:db8::1", 65535, ""},
      {"[::1]", "::1", 49556, ""},
      {"2001:db8::1", "2001:db8::1", 49556, ""},  // bare IPv6 takes the protocol's port
      {name253, name253, 49556, ""},
      {name253 + "e", "", 49556, "name over 253 characters"},
      {"http://sky.example.org", "", 49556, "no scheme: HOST or HOST:PORT"},
      {"sky.example.org/relay", "", 49556, "no path: HOST or HOST:PORT"},
      {"sky.example.org?x", "", 49556, "no path: HOST or HOST:PORT"},
      {"sky:0", "", 49556, "port must be 1 to 65535"},
      {"sky:65536", "", 49556, "port must be 1 to 65535"},
      {"sky:", "", 49556, "port must be 1 to 65535"},
      {"sky:+80", "", 49556, "port must be 1 to 65535"},
      {"2001:db8::1:5000:x", "", 49556, "IPv6 must read [ADDRESS]:PORT"},
      {"[sky]:80", "", 49556, "IPv6 must read [ADDRESS]:PORT"},
      {"[::1]5000", "", 49556, "IPv6 must read [ADDRESS]:PORT"},
      {"sky..example", "", 49556, "not a host name"},
      {"my server", "", 49556, "not a host name"},
      {std::string(64, 'a') + ".org", "", 49556, "not a host name"},
      {":5000", "", 49556, "no host name"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    ServerChoice choice;
    EXPECT_EQ(ParseServerText(c.text, choice), c.problem);
    EXPECT_EQ(choice.host, c.host);
    EXPECT_EQ(choice.port, c.port);
  }
}

TEST(ServerText, AddressesAreShownWithTheirPortOnlyWhenItIsNotTheProtocols) {
  sockaddr_storage a;
  socklen_t length = 0;
  ASSERT_TRUE(NumericServerAddress("203.0.113.10", 49556, a, length));
  EXPECT_EQ(length, sizeof(sockaddr_in));
  EXPECT_EQ(AddressText(a), "203.0.113.10");
  ASSERT_TRUE(NumericServerAddress("2001:db8::1", 5000, a, length));
  EXPECT_EQ(length, sizeof(sockaddr_in6));
  EXPECT_EQ(AddressText(a), "[2001:db8::1]:5000");
  EXPECT_FALSE(NumericServerAddress("sky.example.org", 49556, a, length));
}
