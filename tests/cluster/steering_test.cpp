// Same-address nodes: the steering program on real sockets of the kernel. A client's stream and
// its datagrams reach the same node, chosen by the source address alone; a node that stops hands
// its addresses to the next one and takes them back when it returns, and nobody else's move.
#include "net/steering.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <string>
#include <vector>

#include "bpf_dir.h"

namespace skytether {
namespace {

constexpr int kNodes = 3;

sockaddr_in Addr(const std::string &ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

struct Node {
  int tcp = -1, udp = -1;
  void Close() {
    if (tcp >= 0) close(tcp);
    if (udp >= 0) close(udp);
    tcp = udp = -1;
  }
};

// Binds both sockets of one node on 127.0.0.1:port and joins the groups; "" when it worked.
std::string Join(Node *n, int index, int nodes, int *port, const std::string &folder) {
  int one = 1;
  n->tcp = socket(AF_INET, SOCK_STREAM, 0);
  n->udp = socket(AF_INET, SOCK_DGRAM, 0);
  setsockopt(n->tcp, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  setsockopt(n->udp, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  sockaddr_in a = Addr("127.0.0.1", *port);
  socklen_t len = sizeof a;
  if (bind(n->tcp, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(n->tcp, 64) != 0)
    return "tcp bind";
  getsockname(n->tcp, reinterpret_cast<sockaddr *>(&a), &len);
  *port = ntohs(a.sin_port);
  if (bind(n->udp, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return "udp bind";
  SteeringOptions o;
  o.index = index;
  o.nodes = nodes;
  o.pin_dir = folder;
  std::string error;
  return JoinSteeredGroups(n->tcp, n->udp, o, &error) ? "" : error;
}

// The node whose socket got the connection or datagram, -1 when none did.
int Receiver(std::vector<Node> &nodes, bool tcp) {
  std::vector<pollfd> p;
  for (auto &n : nodes) p.push_back(pollfd{tcp ? n.tcp : n.udp, POLLIN, 0});
  if (poll(p.data(), p.size(), 1000) <= 0) return -1;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (!p[i].revents) continue;
    char b[16];
    if (tcp)
      close(accept(nodes[i].tcp, nullptr, nullptr));
    else
      recv(nodes[i].udp, b, sizeof b, 0);
    return static_cast<int>(i);
  }
  return -1;
}

// For each of 40 client addresses: "T/U" the nodes that got its stream and its datagram.
std::vector<std::string> Routes(std::vector<Node> &nodes, int port) {
  std::vector<std::string> routes;
  for (int k = 2; k < 42; ++k) {
    std::string ip = "127.0.0." + std::to_string(k);
    sockaddr_in local = Addr(ip, 0), server = Addr("127.0.0.1", port);
    int c = socket(AF_INET, SOCK_STREAM, 0);
    bind(c, reinterpret_cast<sockaddr *>(&local), sizeof local);
    connect(c, reinterpret_cast<sockaddr *>(&server), sizeof server);
    int t = Receiver(nodes, true);
    close(c);
    int u = socket(AF_INET, SOCK_DGRAM, 0);
    bind(u, reinterpret_cast<sockaddr *>(&local), sizeof local);
    sendto(u, "x", 1, 0, reinterpret_cast<sockaddr *>(&server), sizeof server);
    int d = Receiver(nodes, false);
    close(u);
    routes.push_back(std::to_string(t) + "/" + std::to_string(d));
  }
  return routes;
}

// What Routes() must give when the nodes in `present` are there.
std::vector<std::string> Expected(const std::vector<bool> &present) {
  std::vector<std::string> routes;
  for (int k = 2; k < 42; ++k) {
    in_addr a;
    inet_pton(AF_INET, ("127.0.0." + std::to_string(k)).c_str(), &a);
    int n = SteeredIndex(a.s_addr, kNodes);
    while (!present[n]) n = (n + 1) % kNodes;
    routes.push_back(std::to_string(n) + "/" + std::to_string(n));
  }
  return routes;
}

TEST(Steering, StreamAndDatagramsReachOneNodeThroughStopsAndRestarts) {
  harness::BpfDir bpf;
  if (!bpf.ok()) GTEST_SKIP() << "no BPF file system of our own (root is needed): " << bpf.why();
  const std::string folder = bpf.Folder("group");
  std::vector<Node> nodes(kNodes);
  int port = 0;
  for (int i = 0; i < kNodes; ++i) ASSERT_EQ(Join(&nodes[i], i, kNodes, &port, folder), "") << i;
  std::vector<std::string> all = Expected({true, true, true});
  // The hash spreads 40 addresses over every node.
  for (int i = 0; i < kNodes; ++i)
    EXPECT_NE(std::count(all.begin(), all.end(), std::to_string(i) + "/" + std::to_string(i)), 0);
  EXPECT_EQ(Routes(nodes, port), all);

  // Node 1 stops: its addresses go to node 2, nobody else's move.
  nodes[1].Close();
  EXPECT_EQ(Routes(nodes, port), Expected({true, false, true}));

  // A node cannot take an index that a running node holds, nor join with another count.
  Node intruder;
  EXPECT_NE(Join(&intruder, 0, kNodes, &port, folder).find("held by a running node"), std::string::npos);
  intruder.Close();
  Node other_count;
  EXPECT_NE(Join(&other_count, 1, 4, &port, folder).find("made for 3 nodes"), std::string::npos);
  other_count.Close();

  // Back with its index: every address is where it was.
  ASSERT_EQ(Join(&nodes[1], 1, kNodes, &port, folder), "");
  EXPECT_EQ(Routes(nodes, port), all);
  for (auto &n : nodes) n.Close();
}

}  // namespace
}  // namespace skytether
