#include "net/steering.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/bpf.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace skytether {
namespace {

constexpr long kBpfFsMagic = 0xcafe4a11;
constexpr int kMaxNodes = 64;

// The address hash: the same steps in the program below.
std::uint32_t Mix(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352du;
  x ^= x >> 15;
  x *= 0x846ca68bu;
  x ^= x >> 16;
  return x;
}

long Bpf(int cmd, bpf_attr *attr) {
  return syscall(SYS_bpf, cmd, attr, sizeof *attr);
}

std::string Errno(const std::string &what) {
  return what + ": " + std::strerror(errno);
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// ---- a small eBPF assembler ----

class Program {
 public:
  void Add(std::uint8_t code, int dst, int src, std::int16_t off, std::int32_t imm) {
    bpf_insn i{};
    i.code = code;
    i.dst_reg = static_cast<std::uint8_t>(dst);
    i.src_reg = static_cast<std::uint8_t>(src);
    i.off = off;
    i.imm = imm;
    insns_.push_back(i);
  }
  void Mov64(int dst, int src) { Add(BPF_ALU64 | BPF_MOV | BPF_X, dst, src, 0, 0); }
  void Mov64Imm(int dst, std::int32_t imm) { Add(BPF_ALU64 | BPF_MOV | BPF_K, dst, 0, 0, imm); }
  void Add64Imm(int dst, std::int32_t imm) { Add(BPF_ALU64 | BPF_ADD | BPF_K, dst, 0, 0, imm); }
  void Alu32(std::uint8_t op, int dst, int src) { Add(BPF_ALU | op | BPF_X, dst, src, 0, 0); }
  void Alu32Imm(std::uint8_t op, int dst, std::int32_t imm) { Add(BPF_ALU | op | BPF_K, dst, 0, 0, imm); }
  void LoadW(int dst, int base, std::int16_t off) { Add(BPF_LDX | BPF_W | BPF_MEM, dst, base, off, 0); }
  void StoreW(int base, std::int16_t off, int src) { Add(BPF_STX | BPF_W | BPF_MEM, base, src, off, 0); }
  void LoadMap(int dst, int map_fd) {
    Add(BPF_LD | BPF_DW | BPF_IMM, dst, BPF_PSEUDO_MAP_FD, 0, map_fd);
    Add(0, 0, 0, 0, 0);
  }
  void Call(int helper) { Add(BPF_JMP | BPF_CALL, 0, 0, 0, helper); }
  // A forward jump to a label placed later; returns its index for Land().
  std::size_t Jump(std::uint8_t op, int dst, std::int32_t imm) {
    Add(BPF_JMP | op | BPF_K, dst, 0, 0, imm);
    return insns_.size() - 1;
  }
  void Land(std::size_t jump) { insns_[jump].off = static_cast<std::int16_t>(insns_.size() - jump - 1); }
  void Exit() { Add(BPF_JMP | BPF_EXIT, 0, 0, 0, 0); }
  const std::vector<bpf_insn> &insns() const { return insns_; }

 private:
  std::vector<bpf_insn> insns_;
};

// The steering program for one group: source address -> index -> the array's socket, trying the
// following indexes while the one found is empty. SK_PASS without a choice leaves it to the
// kernel's own hash (only when no node at all is in the array).
Program SteeringProgram(int map_fd, int nodes) {
  enum { R0, R1, R2, R3, R4, R5, R6, R7, R8, R9, FP };
  Program p;
  std::vector<std::size_t> to_pass;
  p.Mov64(R6, R1);
  p.LoadW(R2, R6, offsetof(sk_reuseport_md, eth_protocol));
  std::size_t v4 = p.Jump(BPF_JEQ, R2, htons(0x0800));
  std::size_t v6 = p.Jump(BPF_JEQ, R2, htons(0x86DD));
  to_pass.push_back(p.Jump(BPF_JA, 0, 0));
  auto load_source = [&](int offset, int len) {  // network header bytes to the stack at -len
    p.Mov64(R1, R6);
    p.Mov64Imm(R2, offset);
    p.Mov64(R3, FP);
    p.Add64Imm(R3, -len);
    p.Mov64Imm(R4, len);
    p.Mov64Imm(R5, BPF_HDR_START_NET);
    p.Call(BPF_FUNC_skb_load_bytes_relative);
    to_pass.push_back(p.Jump(BPF_JNE, R0, 0));
  };
  p.Land(v4);
  load_source(12, 4);  // IPv4 source address
  p.LoadW(R7, FP, -4);
  std::size_t to_mix = p.Jump(BPF_JA, 0, 0);
  p.Land(v6);
  load_source(8, 16);  // IPv6 source address: its four words folded
  p.LoadW(R7, FP, -16);
  for (int off : {-12, -8, -4}) {
    p.LoadW(R2, FP, static_cast<std::int16_t>(off));
    p.Alu32(BPF_XOR, R7, R2);
  }
  p.Land(to_mix);
  auto fold = [&](int shift) {
    p.Alu32(BPF_MOV, R2, R7);
    p.Alu32Imm(BPF_RSH, R2, shift);
    p.Alu32(BPF_XOR, R7, R2);
  };
  fold(16);
  p.Alu32Imm(BPF_MUL, R7, static_cast<std::int32_t>(0x7feb352du));
  fold(15);
  p.Alu32Imm(BPF_MUL, R7, static_cast<std::int32_t>(0x846ca68bu));
  fold(16);
  p.Alu32Imm(BPF_MOD, R7, nodes);
  for (int tries = 0; tries < nodes; ++tries) {
    p.StoreW(FP, -20, R7);
    p.Mov64(R1, R6);
    p.LoadMap(R2, map_fd);
    p.Mov64(R3, FP);
    p.Add64Imm(R3, -20);
    p.Mov64Imm(R4, 0);
    p.Call(BPF_FUNC_sk_select_reuseport);
    to_pass.push_back(p.Jump(BPF_JEQ, R0, 0));
    p.Alu32Imm(BPF_ADD, R7, 1);
    std::size_t in_range = p.Jump(BPF_JLT, R7, nodes);
    p.Alu32Imm(BPF_MOV, R7, 0);
    p.Land(in_range);
  }
  for (std::size_t j : to_pass) p.Land(j);
  p.Mov64Imm(R0, SK_PASS);
  p.Exit();
  return p;
}

int LoadProgram(const Program &prog, std::string *error) {
  static char log[16384];
  log[0] = '\0';
  bpf_attr attr{};
  attr.prog_type = BPF_PROG_TYPE_SK_REUSEPORT;
  attr.insns = reinterpret_cast<std::uintptr_t>(prog.insns().data());
  attr.insn_cnt = static_cast<std::uint32_t>(prog.insns().size());
  attr.license = reinterpret_cast<std::uintptr_t>("");  // no GPL-only helper is used
  attr.log_buf = reinterpret_cast<std::uintptr_t>(log);
  attr.log_size = sizeof log;
  attr.log_level = 1;
  int fd = static_cast<int>(Bpf(BPF_PROG_LOAD, &attr));
  if (fd < 0) *error = Errno("cannot load the steering program") + (log[0] ? std::string("\n") + log : "");
  return fd;
}

// Opens the group's pinned array, or creates and pins it.
int OpenArray(const std::string &path, int nodes, std::string *error) {
  bpf_attr attr{};
  attr.pathname = reinterpret_cast<std::uintptr_t>(path.c_str());
  int fd = static_cast<int>(Bpf(BPF_OBJ_GET, &attr));
  if (fd >= 0) {
    bpf_map_info info{};
    bpf_attr q{};
    q.info.bpf_fd = static_cast<std::uint32_t>(fd);
    q.info.info_len = sizeof info;
    q.info.info = reinterpret_cast<std::uintptr_t>(&info);
    if (Bpf(BPF_OBJ_GET_INFO_BY_FD, &q) != 0 || info.type != BPF_MAP_TYPE_REUSEPORT_SOCKARRAY ||
        static_cast<int>(info.max_entries) != nodes) {
      *error = path + " was made for " + std::to_string(info.max_entries) + " nodes, not " +
               std::to_string(nodes) + " (remove it once every node on this port has stopped)";
      close(fd);
      return -1;
    }
    return fd;
  }
  if (errno != ENOENT) {
    *error = Errno("cannot open " + path);
    return -1;
  }
  bpf_attr create{};
  create.map_type = BPF_MAP_TYPE_REUSEPORT_SOCKARRAY;
  create.key_size = 4;
  create.value_size = 8;
  create.max_entries = static_cast<std::uint32_t>(nodes);
  fd = static_cast<int>(Bpf(BPF_MAP_CREATE, &create));
  if (fd < 0) {
    *error = Errno("cannot create the socket array (root or CAP_BPF and CAP_NET_ADMIN are needed)");
    return -1;
  }
  bpf_attr pin{};
  pin.pathname = reinterpret_cast<std::uintptr_t>(path.c_str());
  pin.bpf_fd = static_cast<std::uint32_t>(fd);
  if (Bpf(BPF_OBJ_PIN, &pin) != 0) {
    *error = Errno("cannot pin " + path);
    close(fd);
    return -1;
  }
  return fd;
}

bool JoinOne(int sock, const std::string &path, const SteeringOptions &opts, const char *what,
             std::string *error) {
  Fd map(OpenArray(path, opts.nodes, error));
  if (map.get() < 0) return false;
  std::uint32_t key = static_cast<std::uint32_t>(opts.index);
  std::uint64_t value = static_cast<std::uint64_t>(sock);
  bpf_attr up{};
  up.map_fd = static_cast<std::uint32_t>(map.get());
  up.key = reinterpret_cast<std::uintptr_t>(&key);
  up.value = reinterpret_cast<std::uintptr_t>(&value);
  up.flags = BPF_NOEXIST;  // a socket there is a running node's: the kernel empties it on close
  if (Bpf(BPF_MAP_UPDATE_ELEM, &up) != 0) {
    *error = errno == EEXIST
                 ? "node index " + std::to_string(opts.index) + " is held by a running node (" + what + ")"
                 : Errno(std::string("cannot enter the ") + what + " socket in " + path);
    return false;
  }
  Program prog = SteeringProgram(map.get(), opts.nodes);
  Fd prog_fd(LoadProgram(prog, error));
  if (prog_fd.get() < 0) return false;
  int pfd = prog_fd.get();
  if (setsockopt(sock, SOL_SOCKET, SO_ATTACH_REUSEPORT_EBPF, &pfd, sizeof pfd) != 0) {
    *error = Errno(std::string("cannot attach the steering program to the ") + what + " socket");
    return false;
  }
  return true;
}

}  // namespace

int SteeredIndex(unsigned ipv4_network_order, int nodes) {
  return nodes > 0 ? static_cast<int>(Mix(ipv4_network_order) % static_cast<std::uint32_t>(nodes)) : 0;
}

std::vector<unsigned> SpreadLoopbackAddresses(int clients, int nodes) {
  std::vector<unsigned> out(static_cast<std::size_t>(clients > 0 ? clients : 0));
  std::vector<int> next(static_cast<std::size_t>(nodes > 0 ? nodes : 1));
  for (int n = 0; n < static_cast<int>(next.size()); ++n) next[n] = n;
  int placed = 0;
  for (std::uint32_t k = 0; placed < clients && k < (1u << 16) * 250; ++k) {
    const unsigned a = htonl((127u << 24) | ((k / 250) << 8) | (2 + k % 250));
    int &slot = next[static_cast<std::size_t>(SteeredIndex(a, static_cast<int>(next.size())))];
    if (slot < clients) {
      out[static_cast<std::size_t>(slot)] = a;
      slot += static_cast<int>(next.size());
      ++placed;
    }
  }
  return out;
}

bool JoinSteeredGroups(int tcp_fd, int udp_fd, const SteeringOptions &opts, std::string *error) {
  if (opts.nodes < 1 || opts.nodes > kMaxNodes || opts.index < 0 || opts.index >= opts.nodes) {
    *error = "node index must be 0 to nodes-1, with 1 to " + std::to_string(kMaxNodes) + " nodes";
    return false;
  }
  std::string parent = opts.pin_dir.substr(0, opts.pin_dir.find_last_of('/') + 1);
  struct statfs fs {};
  if (statfs(parent.empty() ? "." : parent.c_str(), &fs) != 0 || fs.f_type != kBpfFsMagic) {
    *error = parent + " is not on a BPF file system (mount -t bpf bpf /sys/fs/bpf)";
    return false;
  }
  if (mkdir(opts.pin_dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = Errno("cannot make " + opts.pin_dir);
    return false;
  }
  Fd dir(open(opts.pin_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0 || flock(dir.get(), LOCK_EX) != 0) {
    *error = Errno("cannot lock " + opts.pin_dir);
    return false;
  }
  return JoinOne(tcp_fd, opts.pin_dir + "/tcp", opts, "TCP", error) &&
         JoinOne(udp_fd, opts.pin_dir + "/udp", opts, "UDP", error);
}

}  // namespace skytether
