// The --html report's script, embedded into the page at build time (html_page.cc).
// It builds everything from the JSON in #data, always through textContent.
"use strict";
var errorCount = 0;
function countError() { errorCount++; document.body.setAttribute("data-errors", String(errorCount)); }
window.addEventListener("error", countError);
var consoleError = console.error;
console.error = function () { countError(); consoleError.apply(console, arguments); };
document.body.setAttribute("data-errors", "0");

var D = JSON.parse(document.getElementById("data").textContent);
var KINDS = ["read", "write", "close", "connect", "sql_write"];
var COLORS = ["#2f7ed8", "#d9534f", "#9a9a9a", "#3aa655", "#9b59b6"];
var ROW = 18;

function el(tag, text, cls) {
  var e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}
function seconds(t) { return t.toFixed(6) + " s"; }

document.getElementById("title").textContent = D.title;
var caption = D.events + " events from " + seconds(D.start) + " to " + seconds(D.start + D.duration) + ", " +
  D.rows.length + (D.rows.length === 1 ? " thread" : " threads") + "; times are seconds since the start at which velmora-trace received each line. ";
if (D.bins) {
  caption += "Aggregated: each mark is one time bin of " + (D.bin_seconds * 1000).toFixed(3) +
    " ms on one thread, holding up to " + D.fullest_bin + " events; its colour is the kind most events in it have.";
} else {
  caption += "Each mark is one event.";
}
document.getElementById("caption").textContent = caption;
var legend = document.getElementById("legend");
KINDS.forEach(function (k, i) {
  var s = el("span", k); var sw = el("i"); sw.style.background = COLORS[i]; s.insertBefore(sw, s.firstChild);
  legend.appendChild(s);
});

// Row labels: a heading per process, then its threads.
var labels = document.getElementById("labels");
var rowY = [];
var y = 0;
var lastPid = null;
var lineCount = 0;
D.rows.forEach(function (r, i) {
  if (r.pid !== lastPid) {
    var p = el("div", "pid " + r.pid + " = " + r.program, "proc");
    p.title = r.program;
    labels.appendChild(p);
    lastPid = r.pid;
    lineCount++;
  }
  var t = el("div", "  tid " + r.tid + " " + r.thread, "thread");
  t.title = "pid " + r.pid + ", " + r.thread;
  labels.appendChild(t);
  rowY[i] = lineCount * ROW;
  lineCount++;
});

var canvas = document.getElementById("marks");
var width = Math.max(600, Math.min(4000, window.innerWidth - 420));
var height = Math.max(ROW, lineCount * ROW);
var ratio = window.devicePixelRatio || 1;
canvas.width = width * ratio; canvas.height = height * ratio;
canvas.style.width = width + "px"; canvas.style.height = height + "px";
var ctx = canvas.getContext("2d");
ctx.scale(ratio, ratio);
var span = D.duration > 0 ? D.duration : 1;

// Marks per row, sorted by x, for hovering.
var byRow = D.rows.map(function () { return []; });
function describe(m) {
  if (!D.bins) {
    return "t " + seconds(m[1]) + "  " + KINDS[m[2]] + "  fd=" + m[3] + "\n" + D.details[m[4]];
  }
  var parts = [];
  var total = 0;
  for (var k = 0; k < KINDS.length; k++) { if (m[2 + k]) parts.push(KINDS[k] + " " + m[2 + k]); total += m[2 + k]; }
  var from = D.start + m[1] * D.bin_seconds;
  return "t " + seconds(from) + " to " + seconds(from + D.bin_seconds) + ": " + total + " events (" +
    parts.join(", ") + ")\nfirst: " + D.details[m[7]];
}
ctx.fillStyle = "#fafafa";
ctx.fillRect(0, 0, width, height);
for (var line = 0; line * ROW < height; line += 2) { ctx.fillStyle = "#f4f6f8"; ctx.fillRect(0, line * ROW, width, ROW); }
D.marks.forEach(function (m) {
  var row = m[0], x, w = 2, kind, h = ROW - 6;
  if (!D.bins) {
    x = (m[1] - D.start) / span * (width - 2); kind = m[2];
  } else {
    var best = 0, total = 0;
    for (var k = 0; k < KINDS.length; k++) { total += m[2 + k]; if (m[2 + k] > m[2 + best]) best = k; }
    x = m[1] / D.bins * (width - 2); w = Math.max(1, (width - 2) / D.bins); kind = best;
    h = Math.max(2, Math.round((ROW - 6) * Math.log(1 + total) / Math.log(1 + D.fullest_bin)));
  }
  ctx.fillStyle = COLORS[kind];
  ctx.fillRect(x, rowY[row] + (ROW - h) / 2, w, h);
  byRow[row].push({ x: x + w / 2, m: m });
});
byRow.forEach(function (list) { list.sort(function (a, b) { return a.x - b.x; }); });

function markAt(ev) {
  var box = canvas.getBoundingClientRect();
  var mx = ev.clientX - box.left, my = ev.clientY - box.top;
  var row = -1;
  for (var i = 0; i < rowY.length; i++) { if (my >= rowY[i] && my < rowY[i] + ROW) { row = i; break; } }
  if (row < 0) return null;
  var list = byRow[row], lo = 0, hi = list.length;
  while (lo < hi) { var mid = (lo + hi) >> 1; if (list[mid].x < mx) lo = mid + 1; else hi = mid; }
  var best = null, dist = 4;
  [lo - 1, lo].forEach(function (j) {
    if (j >= 0 && j < list.length && Math.abs(list[j].x - mx) <= dist) { dist = Math.abs(list[j].x - mx); best = list[j]; }
  });
  return best ? { row: row, m: best.m } : null;
}
var tip = document.getElementById("tip");
function rowText(row) { var r = D.rows[row]; return "pid " + r.pid + " tid " + r.tid + " (" + r.thread + ")\n"; }
canvas.addEventListener("mousemove", function (ev) {
  var hit = markAt(ev);
  if (!hit) { tip.style.display = "none"; return; }
  tip.textContent = rowText(hit.row) + describe(hit.m);
  tip.style.left = Math.min(ev.clientX + 12, window.innerWidth - 620) + "px";
  tip.style.top = (ev.clientY + 14) + "px";
  tip.style.display = "block";
});
canvas.addEventListener("mouseleave", function () { tip.style.display = "none"; });
canvas.addEventListener("click", function (ev) {
  var hit = markAt(ev);
  if (hit) document.getElementById("picked").textContent = rowText(hit.row) + describe(hit.m);
});

function table(where, head, rows, nameColumn, more) {
  var box = document.getElementById(where);
  if (!rows.length) { box.appendChild(el("p", "(none)", "more")); return; }
  var t = el("table"), tr = el("tr");
  head.forEach(function (h, i) { tr.appendChild(el("th", h, i === nameColumn ? "name" : "")); });
  t.appendChild(tr);
  rows.forEach(function (r) {
    var row = el("tr");
    r.forEach(function (v, i) { row.appendChild(el("td", v, i === nameColumn ? "name" : "")); });
    t.appendChild(row);
  });
  box.appendChild(t);
  if (more) box.appendChild(el("p", "... and " + more + " more", "more"));
}
var S = D.summary;
var COUNTS = ["read", "write", "conn", "close", "query", "threads", "total"];
table("resources", ["resource"].concat(COUNTS), S.resources.map(function (r) {
  return [r.name].concat(COUNTS.map(function (c) { return r[c]; }));
}), 0, S.resources_more);
table("queries", ["count", "query"], S.queries.map(function (q) { return [q.count, q.text]; }), 1, S.queries_more);
table("processes", ["pid", "program"].concat(COUNTS), S.processes.map(function (p) {
  return [p.pid, p.program === undefined ? "?" : p.program].concat(COUNTS.map(function (c) { return p[c]; }));
}), 1);
var F = D.files;
var fileRows = [];
[["read", "read"], ["written", "written"], ["sockets", "socket"], ["sql", "sql"]].forEach(function (s) {
  (F[s[0]] || []).forEach(function (e) { fileRows.push([s[1], e.path || e.name || e.text, e.events]); });
});
var fileMore = (F.read_more || 0) + (F.written_more || 0) + (F.sockets_more || 0) + (F.sql_more || 0);
table("files", ["", "path, address or text", "events"], fileRows, 1, fileMore);
