#include "summary_json.h"

#include "process_json.h"

#include <array>
#include <utility>

#include "file_sections.h"

namespace velmora::trace {
namespace {

void counts(JsonWriter& json, const Summary::Tally& tally, const std::vector<std::size_t>& shown) {
  for (const std::size_t c : shown) json.key(COLUMNS[c].name).number(tally.column(c));
  json.key("threads").number(tally.threads.size()).key("total").number(tally.total());
}

}  // namespace

void write_summary_json(JsonWriter& json, const Summary& summary, const ProcessRegistry* processes,
                        std::size_t limit) {
  const std::vector<std::size_t> shown = summary.shown_columns();
  json.begin_object().key("events").number(summary.events());
  auto resources = summary.ranked_resources();
  const std::size_t resources_more = resources.size() > limit ? resources.size() - limit : 0;
  resources.resize(resources.size() - resources_more);
  json.key("resources").begin_array();
  for (const auto& [name, tally] : resources) {
    json.begin_object().text("name", *name);
    counts(json, *tally, shown);
    json.end_object();
  }
  json.end_array();
  auto queries = summary.ranked_queries();
  const std::size_t queries_more = queries.size() > limit ? queries.size() - limit : 0;
  queries.resize(queries.size() - queries_more);
  json.key("queries").begin_array();
  for (const auto& [text, count] : queries) {
    json.begin_object().text("text", *text).key("count").number(count);
    // Seconds from sending to the first read on that descriptor.
    if (const auto reply = summary.first_reply(*text)) {
      json.key("first_reply").begin_object().key("replies").number(reply->replies);
      json.key("median").fixed(reply->median, 6).key("max").fixed(reply->max, 6).end_object();
    }
    json.end_object();
  }
  json.end_array();
  if (resources_more != 0 || queries_more != 0) {
    json.key("resources_more").number(resources_more).key("queries_more").number(queries_more);
  }
  json.key("processes").begin_array();
  for (const auto& [pid, tally] : summary.processes()) {
    json.begin_object();
    if (const ProcessInfo* info = processes != nullptr ? processes->find(pid) : nullptr) {
      json.text("program", program_label(*info));
      write_process_fields(json, pid, *info, true);
    } else {
      json.key("pid").number(pid);
    }
    counts(json, tally, shown);
    json.end_object();
  }
  json.end_array().end_object();
}

namespace {

void footprint_json(JsonWriter& json, const Footprint& footprint, std::size_t limit) {
  json.begin_object();
  for (const FileSection& section : FILE_SECTIONS) {
    const std::vector<FileEntry> entries = section_entries(footprint, section);
    json.key(section.key).begin_array();
    for (std::size_t i = 0; i < entries.size() && i < limit; ++i) {
      json.begin_object();
      if (section.pairs >= 0) json.text("from", entries[i].name).text("to", entries[i].to);
      else json.text(section.name_key, entries[i].name);
      json.key("events").number(entries[i].count).end_object();
    }
    json.end_array();
    if (entries.size() > limit) json.key(std::string(section.key) + "_more").number(entries.size() - limit);
  }
}

}  // namespace

void write_files_json(JsonWriter& json, const Summary& summary, const ProcessRegistry* processes, std::size_t limit) {
  footprint_json(json, summary.footprint(), limit);
  if (!summary.per_process().empty()) {
    json.key("processes").begin_array();
    for (const auto& [pid, footprint] : summary.per_process()) {
      if (footprint.empty()) continue;
      json.begin_object();
      if (const ProcessInfo* info = processes != nullptr ? processes->find(pid) : nullptr) {
        json.text("program", program_label(*info));
        write_process_fields(json, pid, *info, true);
      } else {
        json.key("pid").number(pid);
      }
      footprint_json(json.key("files"), footprint, limit);
      json.end_object().end_object();
    }
    json.end_array();
  }
  json.end_object();
}

}  // namespace velmora::trace
