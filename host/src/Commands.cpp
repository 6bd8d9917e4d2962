// Commands: made once per name, run in phases through their handlers, before-handlers first.

#include <algorithm>

#include "HostImpl.h"

namespace skyhost {

CommandRec *Host::Impl::findCommand(XPLMCommandRef ref) const {
  // A stale or made-up handle is never dereferenced.
  for (const auto &c : commands)
    if (c.get() == ref) return c.get();
  return nullptr;
}

void Host::Impl::runCommand(CommandRec &c, XPLMCommandPhase phase) {
  if (phase == xplm_CommandBegin) ++c.runs;
  std::vector<CommandHandlerRec> order;
  for (const auto &r : c.handlers)
    if (r.before) order.push_back(r);
  for (const auto &r : c.handlers)
    if (!r.before) order.push_back(r);
  for (const CommandHandlerRec &r : order) {
    // A handler may remove the ones after it.
    const bool still = std::any_of(c.handlers.begin(), c.handlers.end(),
                                   [&](const CommandHandlerRec &x) { return x.seq == r.seq; });
    if (!still || !callsBack(r.owner)) continue;
    int goOn;
    {
      PluginCall call(*this, r.owner);
      goOn = r.fn(&c, phase, r.refcon);
    }
    if (goOn == 0) return;
  }
}

void Host::Impl::continueHeldCommands() {
  std::vector<CommandRec *> held;
  for (const auto &c : commands)
    if (c->held > 0) held.push_back(c.get());
  for (CommandRec *c : held)
    if (c->held > 0) runCommand(*c, xplm_CommandContinue);
}

namespace {

CommandRec *commandNamed(const Host::Impl &h, const std::string &name) {
  for (const auto &c : h.commands)
    if (c->name == name) return c.get();
  return nullptr;
}

}  // namespace

std::vector<Host::Command> Host::commands() const {
  std::vector<Command> out;
  for (const auto &c : impl_->commands) {
    Command pub{c->name, c->description, c->creator, {}, c->held > 0};
    for (const auto &r : c->handlers) pub.handlers.push_back({r.fn, r.before != 0, r.refcon, r.owner});
    out.push_back(pub);
  }
  return out;
}

bool Host::commandOnce(const std::string &name) {
  CommandRec *c = commandNamed(*impl_, name);
  if (!c) return false;
  XPLMCommandOnce(c);
  return true;
}

bool Host::commandBegin(const std::string &name) {
  CommandRec *c = commandNamed(*impl_, name);
  if (!c) return false;
  XPLMCommandBegin(c);
  return true;
}

bool Host::commandEnd(const std::string &name) {
  CommandRec *c = commandNamed(*impl_, name);
  if (!c || c->held == 0) return false;
  XPLMCommandEnd(c);
  return true;
}

}  // namespace skyhost

using skyhost::cur;

XPLMCommandRef XPLMFindCommand(const char *inName) {
  if (!inName) return nullptr;
  auto &h = cur();
  if (h.beforeStart()) return nullptr;
  return skyhost::commandNamed(h, inName);
}

// A second create of a name gives the command made first; its description stays.
XPLMCommandRef XPLMCreateCommand(const char *inName, const char *inDescription) {
  auto &h = cur();
  if (!inName || !*inName) return nullptr;
  if (skyhost::CommandRec *c = skyhost::commandNamed(h, inName)) return c;
  auto c = std::make_unique<skyhost::CommandRec>();
  c->name = inName;
  c->description = inDescription ? inDescription : "";
  c->creator = h.caller();
  h.commands.push_back(std::move(c));
  h.logRegistration("create command " + h.commands.back()->name);
  return h.commands.back().get();
}

void XPLMCommandBegin(XPLMCommandRef inCommand) {
  auto &h = cur();
  skyhost::CommandRec *c = h.findCommand(inCommand);
  if (!c) return;
  ++c->held;
  h.runCommand(*c, xplm_CommandBegin);
}

void XPLMCommandEnd(XPLMCommandRef inCommand) {
  auto &h = cur();
  skyhost::CommandRec *c = h.findCommand(inCommand);
  if (!c || c->held == 0) return;
  --c->held;
  h.runCommand(*c, xplm_CommandEnd);
}

void XPLMCommandOnce(XPLMCommandRef inCommand) {
  auto &h = cur();
  skyhost::CommandRec *c = h.findCommand(inCommand);
  if (!c) return;
  h.runCommand(*c, xplm_CommandBegin);
  h.runCommand(*c, xplm_CommandEnd);
}

void XPLMRegisterCommandHandler(XPLMCommandRef inComand, XPLMCommandCallback_f inHandler, int inBefore,
                                void *inRefcon) {
  auto &h = cur();
  skyhost::CommandRec *c = h.findCommand(inComand);
  if (!c || !inHandler) return;
  c->handlers.push_back({++h.seq, inHandler, inBefore ? 1 : 0, inRefcon, h.caller()});
  h.logRegistration("register command handler " + c->name + (inBefore ? " before" : " after"));
}

void XPLMUnregisterCommandHandler(XPLMCommandRef inComand, XPLMCommandCallback_f inHandler, int inBefore,
                                  void *inRefcon) {
  auto &h = cur();
  skyhost::CommandRec *c = h.findCommand(inComand);
  if (!c) return;
  const int before = inBefore ? 1 : 0;
  std::string entry = "unregister command handler " + c->name + (before ? " before" : " after");
  for (auto it = c->handlers.begin(); it != c->handlers.end(); ++it) {
    if (it->fn == inHandler && it->before == before && it->refcon == inRefcon && it->owner == h.caller()) {
      c->handlers.erase(it);
      h.logRegistration(entry);
      return;
    }
  }
  h.logRegistration(entry + " (not registered)");
}
