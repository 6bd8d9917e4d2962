#pragma once
// The command line, the accounts file and the Redis password file, read into the options of
// every part before anything starts.
#include <string>

#include "cluster/node.h"
#include "core/accounts.h"
#include "core/admin.h"
#include "core/bans.h"
#include "core/registry.h"
#include "http/server.h"
#include "net/server.h"

namespace skytether {

struct Options {
  ServerOptions server;
  RegistryOptions registry;
  ClusterOptions cluster;  // a cluster node when cluster.redis is set
  bool http = false;
  HttpOptions http_options;
  std::string accounts_file;  // empty: an open server
  Accounts accounts;
  // The operator's controls: on an address of their own, with the tokens of the token file.
  bool admin = false;
  HttpOptions admin_http;
  AdminTokens admin_tokens;
  std::string ban_file;  // empty: bans last until the server stops
  BanList bans;          // as the ban file held them at start
};

// Where the admin routes answer unless --admin-http says otherwise.
constexpr int kAdminPort = 49557;

// Reads the command line (and the files it names) into *out. Returns -1 when the server is to
// run, else the exit code after what was asked (--help, --version, --check-accounts) or the
// message on a bad command line or file (2).
int ReadOptions(int argc, char **argv, Options *out);

// "ADDR:PORT", "[V6ADDR]:PORT" or "PORT" (loopback) into *out; false with a message.
bool ParseHttpAddress(const std::string &text, HttpOptions *out, std::string *error);

// The host name, kept to the characters node names may hold.
std::string DefaultNodeName();

}  // namespace skytether
