#include "html_printer.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "summary_json.h"

namespace velmora::trace {
// Details referenced by the marks, renumbered so that only those are written.
class HtmlPrinter::DetailRefs {
 public:
  explicit DetailRefs(std::size_t known) : renumbered_(known, -1) {}
  std::int64_t operator()(std::uint32_t id) {
    if (renumbered_[id] < 0) {
      renumbered_[id] = static_cast<std::int64_t>(used_.size());
      used_.push_back(id);
    }
    return renumbered_[id];
  }
  const std::vector<std::uint32_t>& used() const { return used_; }

 private:
  std::vector<std::int64_t> renumbered_;
  std::vector<std::uint32_t> used_;
};

void HtmlPrinter::event(const Event& event, double seconds, const ProcessInfo&) {
  const auto row = rows_.emplace(RowKey{event.pid, thread_of(event)}, static_cast<std::uint32_t>(rows_.size())).first;
  auto [detail, added] = detail_ids_.emplace(event.detail, static_cast<std::uint32_t>(details_.size()));
  if (added) details_.push_back(&detail->first);
  marks_.push_back({seconds, row->second, detail->second, event.fd, event.kind});
}

// Rows sorted by process, then thread, so that a process's threads sit together;
// `position` maps the order of first sight to that order.
void HtmlPrinter::write_rows(JsonWriter& json, const Model& model, std::vector<std::uint32_t>& position) const {
  position.assign(rows_.size(), 0);
  json.key("rows").begin_array();
  std::uint32_t i = 0;
  for (const auto& [key, row] : rows_) {
    position[row] = i++;
    const ProcessInfo* info = model.processes.find(key.first);
    std::string thread = "thread " + std::to_string(key.second);
    if (info != nullptr) {
      if (const auto t = info->threads.find(key.second); t != info->threads.end()) thread = t->second;
    }
    json.begin_object().key("pid").number(key.first).key("tid").number(key.second);
    json.key("program").str(info != nullptr ? program_label(*info) : std::string("?"));
    json.key("label").str(info != nullptr ? program_short_label(*info) : std::string("?"));
    json.key("thread").str(thread).end_object();
  }
  json.end_array();
}

// [row, seconds, kind, fd, detail] per event.
void HtmlPrinter::write_marks(JsonWriter& json, const std::vector<std::uint32_t>& position,
                              DetailRefs& detail_ref) const {
  json.key("marks").begin_array();
  for (const Mark& m : marks_) {
    json.begin_array().number(position[m.row]).fixed(m.seconds, 6).number(static_cast<int>(m.kind));
    json.number(m.fd).number(detail_ref(m.detail)).end_array();
  }
  json.end_array();
}

// [row, bin, count per kind..., detail of the bin's first event] per time bin of a row.
void HtmlPrinter::write_bins(JsonWriter& json, const std::vector<std::uint32_t>& position, DetailRefs& detail_ref,
                             double start, double duration) const {
  struct Bin {
    std::array<std::uint32_t, kKindCount> counts{};
    std::uint32_t first_detail = 0;
    bool used = false;
  };
  std::map<std::pair<std::uint32_t, std::uint32_t>, Bin> bins;
  const double width = duration > 0 ? duration / BINS : 1;
  for (const Mark& m : marks_) {
    const auto bin = std::min<std::uint32_t>(static_cast<std::uint32_t>((m.seconds - start) / width), BINS - 1);
    Bin& b = bins[{position[m.row], bin}];
    if (!b.used) b.first_detail = m.detail, b.used = true;
    ++b.counts[static_cast<std::size_t>(m.kind)];
  }
  std::uint32_t fullest = 0;
  json.key("marks").begin_array();
  for (const auto& [key, b] : bins) {
    std::uint32_t total = 0;
    json.begin_array().number(key.first).number(key.second);
    for (const auto c : b.counts) {
      json.number(c);
      total += c;
    }
    json.number(detail_ref(b.first_detail)).end_array();
    fullest = std::max(fullest, total);
  }
  json.end_array();
  json.key("bins").number(BINS).key("bin_seconds").fixed(width, 9).key("fullest_bin").number(fullest);
}

// Per process shown: [pid, first line, exit (or last line), whether the exit was seen].
void HtmlPrinter::write_lives(JsonWriter& json, const Model& model) const {
  json.key("lives").begin_array();
  const ProcessInfo* last = nullptr;
  for (const auto& [key, row] : rows_) {  // by pid, then tid
    const ProcessInfo* info = model.processes.find(key.first);
    if (info == nullptr || info == last) continue;
    last = info;
    const bool exited = info->exit_seconds >= 0;
    json.begin_array().number(key.first).fixed(info->first_seconds, 6);
    json.fixed(exited ? info->exit_seconds : info->last_seconds, 6).boolean(exited).end_array();
  }
  json.end_array();
}

std::string HtmlPrinter::render(const Model& model) const {
  std::string title = "velmora-trace";
  for (const std::string& word : model.command) title += " " + word;

  // The timeline spans the first to the last event, and the lifetimes of the
  // processes shown, not the program's start-up.
  double start = marks_.empty() ? 0 : marks_.front().seconds;
  double end = start;
  for (const Mark& m : marks_) start = std::min(start, m.seconds), end = std::max(end, m.seconds);
  for (const auto& [key, row] : rows_) {
    const ProcessInfo* info = model.processes.find(key.first);
    if (info == nullptr) continue;
    start = std::min(start, info->first_seconds);
    end = std::max(end, info->exit_seconds >= 0 ? info->exit_seconds : info->last_seconds);
  }
  const double duration = end - start;

  // The data sits inside a <script> element: with no '<' in it, a detail holding
  // "</script>" cannot end the element.
  std::string data;
  JsonWriter json(data, /*script_safe=*/true);
  json.begin_object().key("title").str(title).key("events").number(marks_.size());
  json.key("start").fixed(start, 6).key("duration").fixed(duration, 6);
  // The marks number kinds as the line codec does; the tables show the summary's columns.
  json.key("kinds").begin_array();
  for (std::size_t k = 0; k < kKindCount; ++k) json.str(kind_name(static_cast<Kind>(k)));
  json.end_array().key("columns").begin_array();
  for (const std::size_t c : model.summary.shown_columns()) json.str(COLUMNS[c].name);
  json.end_array();
  std::vector<std::uint32_t> position;
  write_rows(json, model, position);
  write_lives(json, model);

  DetailRefs detail_ref(details_.size());
  if (marks_.size() <= EXACT_MARKS) write_marks(json, position, detail_ref);
  else write_bins(json, position, detail_ref, start, duration);
  json.key("details").begin_array();
  for (const std::uint32_t id : detail_ref.used()) json.str(*details_[id]);
  json.end_array();
  write_summary_json(json.key("summary"), model.summary, &model.processes, TABLE_ROWS);
  write_files_json(json.key("files"), model.summary, &model.processes, TABLE_ROWS);
  json.end_object();
  return html_page(title, data);
}

std::string HtmlPrinter::finish(const Model& model) {
  OutputSink sink(fd_.get());
  sink.buffer() = render(model);
  const auto size = static_cast<off_t>(sink.buffer().size());
  sink.flush();
  int err = sink.ok() ? 0 : sink.error();
  // The file was opened before the run without emptying it: what was longer goes now.
  if (err == 0 && ::ftruncate(fd_.get(), size) != 0 && errno != EINVAL) err = errno;
  if (fd_.reset() != 0 && err == 0) err = errno;
  return err == 0 ? std::string() : "cannot write the report: " + path_ + ": " + std::strerror(err);
}

}  // namespace velmora::trace
