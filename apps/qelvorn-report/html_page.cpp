// HTML page writer: the figures go into tables, the calls into one JSON block that the
// page's script reads; every text is escaped for its place.
#include "html_page.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

#include "common/win32_errors.h"
#include "page_script.h"
#include "shown_text.h"
#include "text_summary.h"

namespace qel::report {
namespace {

std::string Html(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

// A JSON string that is also safe inside a script element.
void Json(std::ostream& out, const std::string& utf8) {
  out << '"';
  for (char c : utf8) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out << '\\' << c;
    } else if (u < 0x20 || c == '<' || c == '>' || c == '&') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out << escaped;
    } else {
      out << c;
    }
  }
  out << '"';
}

void Row(std::ostream& out, std::initializer_list<std::string> cells) {
  out << "<tr>";
  for (const std::string& cell : cells) out << "<td>" << Html(cell) << "</td>";
  out << "</tr>\n";
}

void WriteSummaryTables(const Report& report, const ReportOptions& options, std::ostream& out) {
  out << "<h2>Run</h2>\n<table class=\"kv\">\n";
  Row(out, {"program", report.program.empty() ? "(unknown)" : ShownText(report.program)});
  Row(out, {"process", report.pid < 0 ? "(unknown)" : std::to_string(report.pid)});
  Row(out, {"set-up",
            report.haveSetUp ? FormatDate(report.setUpDay, report.setUpMs) : "(not in the log)"});
  Row(out, {"clean-up", report.cleanUps > 0 ? "CleanUp OK" : "not in the log"});
  std::string files;
  for (const std::string& file : report.files)
    files += (files.empty() ? "" : ", ") + ShownText(file);
  Row(out, {"files", files});
  Row(out,
      {"lines",
       std::to_string(report.lines) + ": " + std::to_string(report.callLines) + " call lines, " +
           std::to_string(report.texts) + " texts, " + std::to_string(report.unparsed) +
           " unparsed" +
           (report.cutLines > 0 ? ", " + std::to_string(report.cutLines) + " cut at 1 MiB" : "")});
  Row(out, {"modules", std::to_string(report.modules.size()) + " loaded at set-up"});
  out << "</table>\n";

  out << "<h2>Functions</h2>\n<table><tr><th>function</th><th>calls</th><th>returned</th>"
         "<th>errors</th><th>total ms</th><th>max ms</th><th>last errors</th></tr>\n";
  std::vector<const FunctionStats*> shown;
  for (size_t i : report.calledByName) shown.push_back(&report.functions[i]);
  for (const FunctionStats* stats : shown) {
    std::string errors;
    for (const auto& [code, count] : stats->lastErrors.values) {
      errors += (errors.empty() ? "" : ", ") + ErrorText(code) + " x" + std::to_string(count);
    }
    Row(out, {ShownText(stats->name), std::to_string(stats->calls),
              std::to_string(stats->completed), std::to_string(stats->errorsSet),
              std::to_string(stats->totalMs), std::to_string(stats->maxMs), errors});
  }
  out << "</table>\n";

  out << "<h2>Threads</h2>\n<table><tr><th>number</th><th>id</th><th>calls</th><th>first</th>"
         "<th>last</th></tr>\n";
  for (const auto& [number, thread] : report.threads) {
    if ((options.thread >= 0 && number != options.thread) ||
        (thread.calls == 0 && thread.depth == 0)) {
      continue;
    }
    Row(out, {std::to_string(number), thread.idKnown ? Hex8(thread.id) : "?",
              std::to_string(thread.calls), thread.first >= 0 ? FormatTime(thread.first) : "-",
              thread.last >= 0 ? FormatTime(thread.last) : "-"});
  }
  out << "</table>\n";

  out << "<h2>Slowest calls</h2>\n<table><tr><th>ms</th><th>thread</th><th>lines</th></tr>\n";
  for (const SlowCall& call : report.slowest) {
    out << "<tr><td>" << call.ms << "</td><td>" << call.thread << "</td><td class=\"line\">"
        << Html(ShownText(call.pre)) << "<br>" << Html(ShownText(call.post)) << "</td></tr>\n";
  }
  out << "</table>\n";

  out << "<h2>Calls in flight at the end of the log</h2>\n<table><tr><th>thread</th>"
         "<th>open ms</th><th>pre line</th></tr>\n";
  for (const auto& [number, thread] : report.threads) {
    if (options.thread >= 0 && number != options.thread) continue;
    for (size_t i = 0; i < thread.depth; ++i) {
      const OpenCall& call = thread.stack[i];
      if (!call.selected) continue;
      out << "<tr><td>" << number << "</td><td>" << (report.lastTime - call.start)
          << "</td><td class=\"line\">" << Html(ShownText(call.line)) << "</td></tr>\n";
    }
  }
  out << "</table>\n";

  out << "<h2>Unparsed lines: " << report.unparsed << "</h2>\n<table>\n";
  for (const Remark& remark : report.unparsedSamples) {
    Row(out, {PlaceText(report, remark.place), remark.reason, ShownText(remark.text)});
  }
  out << "</table>\n";
}

void WriteData(const Report& report, std::ostream& out) {
  out << "{\"functions\":[";
  for (size_t i = 0; i < report.functions.size(); ++i) {
    if (i > 0) out << ',';
    Json(out, ShownText(report.functions[i].name));
  }
  out << "],\"threads\":[";
  bool first = true;
  for (const auto& [number, thread] : report.threads) {
    if (!first) out << ',';
    first = false;
    out << '[' << number << ',';
    Json(out, thread.idKnown ? Hex8(thread.id) : "?");
    out << ']';
  }
  std::set<uint32_t> codes;
  int64_t start = -1;
  out << "],\"calls\":[";
  for (size_t i = 0; i < report.calls.size(); ++i) {
    const CallRecord& call = report.calls[i];
    if (i > 0) out << ",\n";
    if (start < 0 || call.start < start) start = call.start;
    out << '[' << call.thread << ',' << call.depth << ',' << call.function << ',' << call.start
        << ',' << call.end << ',';
    Json(out, call.end >= 0 ? HexDigits(call.result, report.addressDigits) : "");
    out << ',' << (call.end >= 0 ? static_cast<int64_t>(call.lastError) : -1) << ','
        << (call.failed ? 1 : 0) << ',';
    Json(out, ShownText(call.pre));
    out << ',';
    Json(out, ShownText(call.post));
    out << ',';
    Json(out, call.decoded);
    out << ']';
    if (call.end >= 0) codes.insert(call.lastError);
  }
  out << "],\"errors\":{";
  first = true;
  for (uint32_t code : codes) {
    if (!first) out << ',';
    first = false;
    out << '"' << code << "\":";
    Json(out, ErrorText(code));
  }
  out << "},\"first\":" << std::max<int64_t>(start, 0)
      << ",\"last\":" << std::max<int64_t>(report.lastTime, 0) << "}";
}

}  // namespace

void WriteHtmlPage(const Report& report, const ReportOptions& options, std::ostream& out) {
  std::string title = "Trace report";
  if (!report.program.empty()) title += ": " + ShownText(report.program);
  if (report.pid >= 0) title += " (" + std::to_string(report.pid) + ")";
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" << Html(title)
      << "</title>\n<style>" << kPageStyle;
  // A 16-digit result needs a column twice as wide as the 8-digit one the style is made for.
  if (report.addressDigits == 16) out << ".row .r { width: 130px; }\n";
  out << "</style></head><body>\n<h1>" << Html(title) << "</h1>\n";
  out << "<h2>Timeline</h2>\n<div class=\"hint\">Wheel: zoom, drag: move, double click: whole "
         "log. Red: the call set a new last error; open end: still in flight.</div>\n"
         "<div id=\"timeline\"><canvas id=\"canvas\"></canvas><div id=\"tip\"></div></div>\n";
  out << "<h2>Calls</h2>\n<div id=\"filters\">"
         "<label>function <select id=\"f-function\"><option "
         "value=\"\">all</option></select></label>"
         "<label>thread <select id=\"f-thread\"><option value=\"\">all</option></select></label>"
         "<label>error <select id=\"f-error\"><option value=\"\">any</option>"
         "<option value=\"failed\">set a new error</option>"
         "<option value=\"open\">in flight</option></select></label>"
         "<label>text <input id=\"f-text\" type=\"search\" placeholder=\"in the lines\"></label>"
         "<span id=\"count\"></span></div>\n"
         "<div id=\"table\"><div id=\"rows\"></div></div>\n"
         "<div id=\"raw\">Click a call for its lines as the log holds them; "
         "\u25be folds the calls made inside it.</div>\n";
  WriteSummaryTables(report, options, out);
  out << "<script type=\"application/json\" id=\"data\">";
  WriteData(report, out);
  out << "</script>\n<script>" << kPageScript << "</script>\n</body></html>\n";
}

}  // namespace qel::report
