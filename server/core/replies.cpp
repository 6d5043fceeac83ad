// Message-file replies and the hook indirections of qmsTSession.
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/core/builtinreplies.h"
#include "server/core/hooks.h"
#include "server/core/service.h"
#include "server/core/session.h"
#include "server/core/template.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"
#include "toolbox/textfile.h"
#include "toolbox/trace.h"

namespace {

// Blocks of leading lines go out in pieces of about this size, not one send per line.
constexpr size_t kSendChunk = 16384;
// A leading-block file may be held by a writer for a moment; replies do not wait longer.
constexpr int kBlockOpenWaitMs = 50;

// Splits at the first blank: the word before it, the text after it. A command line that
// begins with a blank has an empty first word, so a hook setting left empty never turns
// the client's words that follow it into a hook name.
std::string FirstWord(const std::string& command, std::string& rest) {
  size_t blank = command.find(' ');
  if (blank == std::string::npos) {
    rest.clear();
    return command;
  }
  rest = command.substr(blank + 1);
  return command.substr(0, blank);
}

// Lower-cased extension from the last "." of the last path component, "" when none.
std::string Extension(const std::string& path) {
  size_t dot = path.rfind('.');
  size_t slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return jvb::AsciiLower(path.substr(dot));
}

bool IsPluginExtension(const std::string& ext) { return ext == ".dll" || ext == ".so"; }
bool IsHookExtension(const std::string& ext) { return ext == ".rexx" || IsPluginExtension(ext); }

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// A library given by bare name is looked for beside the program too, as the loader does.
bool PluginExists(const std::string& library) {
  if (jvb::FileExists(library)) return true;
  return library.find('/') == std::string::npos &&
         jvb::FileExists(jvb::ProgramDirectory() + "/" + library);
}

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> p(realpath(path.c_str(), nullptr), &free);
  return p ? std::string(p.get()) : std::string();
}

// True when the directory entry path lies inside the installation's tmp/ (the working
// directory's), after resolving links in its directory part. Names in a block come from
// expanded templates and hook output, so anything else must never be removed.
bool UnderTmp(const std::string& path) {
  const std::string tmp = RealPath("tmp");
  if (tmp.empty()) return false;
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") return false;
  std::string real = RealPath(dir);
  return real == tmp || real.compare(0, tmp.size() + 1, tmp + "/") == 0;
}

// Reads an open leading-block file, at most kTemplateMaxFileSize bytes. An oversized file
// is cut after its last whole line within the limit; the result tells whether it was cut.
bool ReadLeadingBlock(jvbTTextFile& file, std::string& data) {
  const int64_t size = file.Size();
  if (size <= 0) return false;
  data.resize(static_cast<size_t>(std::min<int64_t>(size, kTemplateMaxFileSize)));
  data.resize(static_cast<size_t>(file.BlockRead(data.data(), static_cast<int64_t>(data.size()))));
  if (size <= static_cast<int64_t>(kTemplateMaxFileSize)) return false;
  size_t last = data.find_last_of("\r\n");
  data.resize(last == std::string::npos ? 0 : last + 1);
  return true;
}

}  // namespace

qmsTHookRunners& qmsHookRunners() {
  static qmsTHookRunners runners;
  return runners;
}

jvbTTextConfig* qmsTSession::Messages() const {
  if (messages_) return messages_.get();
  return service_ ? service_->Messages() : nullptr;
}

bool qmsTSession::ReplyText(const std::string& section, const std::string& key,
                            std::string& text) const {
  jvbTTextConfig* messages = Messages();
  if (messages && messages->ReadValue(section, key, text) && !text.empty()) return true;
  const char* builtIn = service_ ? qmsBuiltInReply(service_->Protocol(), section, key) : nullptr;
  text = builtIn ? builtIn : "";
  return builtIn != nullptr;
}

void qmsTSession::SendTxt(const std::string& key, const std::string& section) {
  jvbTraceScope trace("qmsTSession.SendTxt");
  std::string reply, block;
  ReplyText(section, key, reply);
  if (jvbTTextConfig* messages = Messages()) {
    // A key without lower-case letters is its own upper-case form; reading it twice
    // would treat the reply line as a file or hook name.
    const std::string upper = jvb::AsciiUpper(key);
    if (upper != key && !messages->ReadValue(section, upper, block)) block.clear();
  }
  SendCmd(block, reply);
}

void qmsTSession::SendCmd(const std::string& block, const std::string& reply) {
  jvbTraceScope trace("qmsTSession.SendCmd");
  if (!block.empty()) {
    // Inert expansion: the names the block yields are handed to a hook whose arguments
    // are expanded once more, and values must not come to life in that second pass.
    std::string name = qmsExpandTemplate(
        block, [this](const std::string& n, std::string& v) { return GetVars(n, v); }, true);
    std::string args;
    if (IsHookExtension(Extension(jvb::NativePath(FirstWord(name, args))))) {
      std::string output;
      CallHook(output, name + " " + reply);
      // "0" is the answer of a hook that had nothing to add (or did not run).
      name = output == "0" ? std::string() : output;
    }
    name = qmsRestoreTemplate(name);
    bool remove = false;
    size_t bang = name.find('!');
    if (bang != std::string::npos) {
      remove = jvb::EqualNoCase(Trim(name.substr(bang + 1)), "delete");
      name.erase(bang);
    }
    name = jvb::NativePath(Trim(name));
    jvbTTextFile file;
    file.Init(name, jvb::fmReadDenyWrite, 1, 0, kBlockOpenWaitMs);
    if (!name.empty() && file.Open()) {
      std::string data;
      if (ReadLeadingBlock(file, data))
        Log("Leading block \"" + name + "\" cut at " + std::to_string(kTemplateMaxFileSize) +
            " bytes");
      const std::string prefix = reply.substr(0, 3) + "-";
      std::string pending;
      bool sending = true;
      auto flush = [&]() {
        if (sending && !pending.empty()) {
          std::lock_guard<std::mutex> g(send_lock_);
          sending = socket_ && socket_->Send(pending);
        }
        pending.clear();
      };
      for (const std::string& line : jvbTTextConfig::SplitLines(data)) {
        if (!sending || terminate) break;
        std::string text = prefix + ReturnFIB(line);
        pending += text;
        pending += "\r\n";
        Debug(text, kDebugProto8);
        if (pending.size() >= kSendChunk) flush();
      }
      flush();
      file.Close();
      if (remove) {
        if (UnderTmp(name)) {
          jvb::DeleteFile(name);
        } else {
          Log("Leading block \"" + name + "\" kept: !delete applies only to files under tmp/");
        }
      }
    }
  }
  SendIt(ReturnFIB(reply));
}

int qmsTSession::CallHook(std::string& output, const std::string& command) {
  jvbTraceScope trace("qmsTSession.CallHook");
  output = "0";
  std::string args;
  const std::string file = jvb::NativePath(qmsRestoreTemplate(FirstWord(command, args)));
  if (file.empty()) return 0;
  const std::string ext = Extension(file);
  if (IsPluginExtension(ext)) {
    if (!PluginExists(file)) return 0;
    std::string rest;
    const std::string entry = FirstWord(args, rest);
    const auto& plugin = qmsHookRunners().plugin;
    if (!plugin) return 0;
    // Plug-ins receive the arguments as text, unexpanded; client text in them was made
    // inert by the protocol and is handed over as the client sent it.
    return plugin(*this, file, entry, qmsRestoreTemplate(rest), output);
  }
  if (ext == ".rexx") {
    if (!jvb::FileExists(file)) return 0;
    int rc = RunREXX(output, file + " " + args);
    if (rc != 0) return rc;
    return output.empty() || output == "0" ? 0 : 1;
  }
  return 0;
}

int qmsTSession::RunREXX(std::string& output, const std::string& command, bool* notRun) {
  jvbTraceScope trace("qmsTSession.RunREXX");
  output = "0";
  bool ignored = false;
  bool& failed = notRun ? *notRun : ignored;
  failed = true;
  std::string rest;
  const std::string script = jvb::NativePath(qmsRestoreTemplate(FirstWord(command, rest)));
  if (script.empty() || !jvb::FileExists(script)) return 0;
  const auto& rexx = qmsHookRunners().rexx;
  if (!rexx) return 0;
  std::string argument = std::to_string(socket_ ? socket_->Handle() : -1) + " " + ReturnFIB(rest);
  size_t end = argument.find_last_not_of(' ');
  argument.erase(end == std::string::npos ? 0 : end + 1);
  std::string result;
  int rc = rexx(*this, script, argument, result);
  if (rc < 0) {
    Log("RexxHook error " + std::to_string(rc) + " in \"" + script + "\"", kLogUser);
    return 0;
  }
  failed = false;
  output = result;
  return rc;
}
