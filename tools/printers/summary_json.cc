#include "summary_json.h"

#include <array>
#include <utility>

namespace velmora::trace {
namespace {

void counts(JsonWriter& json, const Summary::Tally& tally) {
  for (std::size_t c = 0; c < kKindCount; ++c) json.key(COLUMN_NAMES[c]).number(tally.column(c));
  json.key("threads").number(tally.threads.size()).key("total").number(tally.total());
}

}  // namespace

void write_summary_json(JsonWriter& json, const Summary& summary, const ProcessRegistry* processes,
                        std::size_t limit) {
  json.begin_object().key("events").number(summary.events());
  auto resources = summary.ranked_resources();
  const std::size_t resources_more = resources.size() > limit ? resources.size() - limit : 0;
  resources.resize(resources.size() - resources_more);
  json.key("resources").begin_array();
  for (const auto& [name, tally] : resources) {
    json.begin_object().text("name", *name);
    counts(json, *tally);
    json.end_object();
  }
  json.end_array();
  auto queries = summary.ranked_queries();
  const std::size_t queries_more = queries.size() > limit ? queries.size() - limit : 0;
  queries.resize(queries.size() - queries_more);
  json.key("queries").begin_array();
  for (const auto& [text, count] : queries) json.begin_object().text("text", *text).key("count").number(count).end_object();
  json.end_array();
  if (resources_more != 0 || queries_more != 0) {
    json.key("resources_more").number(resources_more).key("queries_more").number(queries_more);
  }
  json.key("processes").begin_array();
  for (const auto& [pid, tally] : summary.processes()) {
    json.begin_object().key("pid").number(pid);
    if (const ProcessInfo* info = processes != nullptr ? processes->find(pid) : nullptr) {
      json.text("program", program_label(*info));
    }
    counts(json, tally);
    json.end_object();
  }
  json.end_array().end_object();
}

void write_files_json(JsonWriter& json, const Summary& summary, std::size_t limit) {
  const Summary::FileLists lists = summary.files();
  const std::array<std::pair<const char*, const std::vector<Summary::Entry>*>, 4> sections = {
      {{"read", &lists.read}, {"written", &lists.written}, {"sockets", &lists.sockets}, {"sql", &lists.sql}}};
  constexpr std::array<const char*, 4> NAME_KEYS = {"path", "path", "name", "text"};
  json.begin_object();
  for (std::size_t s = 0; s < sections.size(); ++s) {
    const auto& [title, list] = sections[s];
    json.key(title).begin_array();
    for (std::size_t i = 0; i < list->size() && i < limit; ++i) {
      json.begin_object().text(NAME_KEYS[s], (*list)[i].name).key("events").number((*list)[i].count).end_object();
    }
    json.end_array();
    if (list->size() > limit) json.key(std::string(title) + "_more").number(list->size() - limit);
  }
  json.end_object();
}

}  // namespace velmora::trace
