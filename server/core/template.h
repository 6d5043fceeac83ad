// Template expansion: the small expression language of reply texts, hook arguments and
// served documents ("%(" expression ")"), and the stripping of server-side includes.
//
// The engine works on a copy of its input and does no I/O: the caller supplies the
// variable lookup (a session's GetVars). It never reads outside the text, nests at most
// kTemplateMaxDepth expressions deep, and scans each part of the text a bounded number of
// times, so hostile nesting, quotes or parentheses cannot make it recurse or loop long.
//
// Inertness: values that a form yields (variables, literals, function results) are never
// expanded again. Within one pass that follows from the algorithm; across passes (a reply
// block expanded, then handed to a hook whose arguments are expanded once more) the
// engine, when asked for inert output, writes every "%(" it did not take from the
// template text itself as "%" 0x01 "(" - a sequence no later pass recognises.
// qmsRestoreTemplate removes the mark where the text finally leaves the server; a
// non-inert expansion (ReturnFIB) does so itself.
// Protocol code that places client text into a reply or a hook argument passes that text
// through qmsNeutralizeTemplate first, so a client can neither read session variables nor
// make the server evaluate expressions.
//
// All functions are thread-safe (no shared state besides what getVar touches).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Deepest nesting of groups, calls and arguments; deeper forms yield "[)Err]".
inline constexpr int kTemplateMaxDepth = 32;
// Largest file a server expands whole (leading blocks of replies, expanded documents).
inline constexpr size_t kTemplateMaxFileSize = 4u << 20;

// Variable lookup: true and the value when the name is known.
using qmsTTemplateVars = std::function<bool(const std::string& name, std::string& value)>;

// Expands every "%(" ... ")" form of text. With inert set, "%(" sequences produced by the
// expansion are written in their neutral form (see above); otherwise the result is final.
std::string qmsExpandTemplate(const std::string& text, const qmsTTemplateVars& getVar,
                              bool inert = false);

// The functions of the language. False for an unknown name or too few arguments (the
// caller then writes "[fErr:name]").
bool qmsTemplateFunction(const std::string& name, const std::vector<std::string>& args,
                         std::string& value);
// "fill": text fitted to |width| characters; positive width pads (or cuts) at the right,
// negative width pads at the left and keeps the last characters. The width is clamped to
// kTemplateMaxFill so a template cannot ask for gigabytes.
inline constexpr int kTemplateMaxFill = 65536;
std::string qmsTemplateFill(const std::string& text, long width, char pad);

// Client text: a 0x01 byte goes between "%" and "(", and also after a final "%" and
// before a leading "(", so that neither the text nor its joints with the template around
// it form a "%(" any pass recognises.
std::string qmsNeutralizeTemplate(const std::string& text);
// The reverse, for text that leaves the server (sent lines, script and plug-in
// arguments): drops each 0x01 that follows a "%" or precedes a "(".
std::string qmsRestoreTemplate(const std::string& text);

// Removes every server-side-include directive, from "<!--#" to the next "-->" inclusive.
// Directives are never executed ("include" is recognised and ignored alike). A directive
// without its "-->" runs to the end of the text and is removed with it.
void ExpandSSI(std::string& text);
