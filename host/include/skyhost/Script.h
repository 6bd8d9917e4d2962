#pragma once
// Timed actions for the skytether-host runner: one per line, "AT_SECONDS VERB ARGS".
// Verbs are listed in host/README.md.

#include <istream>
#include <string>
#include <vector>

#include "skyhost/Host.h"

namespace skyhost {

struct ScriptAction {
  double at = 0;  // simulated seconds
  std::string verb;
  std::string rest;  // everything after the verb, leading blanks removed
  int line = 0;
};

struct Script {
  std::vector<ScriptAction> actions;  // in time order; equal times keep their file order
  std::vector<std::string> errors;    // "line N: why"; a script with errors is not run
};

Script parseScript(std::istream &in);
Script parseScriptFile(const std::string &path);

// Carries out one action. Relative file names (dump, screenshot) resolve against baseDir. Returns an empty
// string on success, otherwise why the action failed.
std::string runScriptAction(Host &host, const ScriptAction &action, const std::string &baseDir);

// A widget named the way scripts name it: "#N" (the N-th widget made, from 0), "CLASS#K" (the
// K-th widget of a class, e.g. TextField#2), or a descriptor, optionally in double quotes.
XPWidgetID findWidgetBySelector(const Host &host, const std::string &selector);

// "WIDTHxHEIGHT", each 1 to 8192.
bool parseScreenSize(const std::string &text, int *width, int *height);

}  // namespace skyhost
