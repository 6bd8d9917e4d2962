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
      {"  sky.example.org  ", "sky.example.org", 49556, ""},
      {"sky.example.org.:5000", "sky.example.org.", 5000, ""},
      {"[::1]", "::1", 49556, ""},
      {"2001:db8::1", "2001:db8::1", 49556, ""},  // bare IPv6 takes the protocol's port
      {name253, name253, 49556, ""},
      {"sky.example.org/relay", "", 49556, "no path: HOST or HOST:PORT"},
      {"sky:0", "", 49556, "port must be 1 to 65535"},
      {"sky:65536", "", 49556, "port must be 1 to 65535"},
      {"[::1]5000", "", 49556, "IPv6 must read [ADDRESS]:PORT"},
      {"sky..example", "", 49556, "not a host name"},
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
