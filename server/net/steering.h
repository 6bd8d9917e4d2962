#pragma once
// Several nodes on one address and port: each node's TCP listener and UDP socket join the
// machine's SO_REUSEPORT groups, and a steering program picks the node from the client's source
// address alone, so a pilot's stream and its datagrams reach the same node.
//
// The program looks the node up in two socket arrays (one per group) kept in the kernel and pinned
// in a BPF file system folder. A node owns the same index in both for its whole life: a node that
// stops leaves its index empty (the kernel clears it when the socket closes) and a node that
// restarts with the same index takes it back, so no other node's pilots move. Addresses whose node
// is missing go to the next index that has one.
#include <string>
#include <vector>

namespace skytether {

struct SteeringOptions {
  int index = 0;                                  // this node's place, 0 .. nodes-1
  int nodes = 0;                                  // nodes on this address
  std::string pin_dir = "/sys/fs/bpf/skytether";  // on a BPF file system; one folder per port
};

// The node index for an IPv4 source address (network byte order, as it is on the wire) when every
// node is present: the same hash the program computes, for tests and load tools.
int SteeredIndex(unsigned ipv4_network_order, int nodes);

// Loopback addresses 127.0.X.Y (network byte order), one per client, taken in order so that client
// i is steered to node i % nodes: for tests and load tools that play clients of many machines.
std::vector<unsigned> SpreadLoopbackAddresses(int clients, int nodes);

// Puts the two sockets (SO_REUSEPORT set, bound; the TCP one listening) at opts.index in the
// group's arrays, creating and pinning the arrays under opts.pin_dir when no node made them yet,
// and attaches the program to both groups. Joining is serialised by a lock on the folder.
// False with a message (missing privileges, no BPF file system, arrays made for another count).
bool JoinSteeredGroups(int tcp_fd, int udp_fd, const SteeringOptions &opts, std::string *error);

}  // namespace skytether
