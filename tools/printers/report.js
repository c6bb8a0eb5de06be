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
var KINDS = D.kinds;
var COLORS = KINDS.map(function (k, i) {
  return ["#2f7ed8", "#d9534f", "#9a9a9a", "#3aa655", "#9b59b6"][i] || "hsl(" + (i * 47 % 360) + ",45%,50%)";
});
var ROW = 18;

function el(tag, text, cls) {
  var e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}
function seconds(t) { return t.toFixed(6) + " s"; }

document.getElementById("title").textContent = D.title;
var caption = D.events + " events, " + D.rows.length + (D.rows.length === 1 ? " thread" : " threads") +
  "; the axis starts " + seconds(D.start) + " after velmora-trace started, at the first line it received " +
  "or the first process's start. A grey bar is a process's life, from its first line to its exit (or last line). ";
if (D.bins) {
  caption += "Aggregated: each mark is one time bin of " + (D.bin_seconds * 1000).toFixed(3) +
    " ms on one thread, holding up to " + D.fullest_bin + " events; its colour is the kind most events in it have.";
} else {
  caption += "Each mark is one event; marks that would overlap are drawn as one, coloured by the kind most of them have.";
}
document.getElementById("caption").textContent = caption;
var legend = document.getElementById("legend");
var seen = KINDS.map(function () { return false; });
D.marks.forEach(function (m) {
  if (!D.bins) seen[m[2]] = true;
  else for (var k = 0; k < KINDS.length; k++) { if (m[2 + k]) seen[k] = true; }
});
KINDS.forEach(function (k, i) {
  if (!seen[i] && i >= 5) return;  // the wide library's kinds only when they occur
  var s = el("span", k); var sw = el("i"); sw.style.background = COLORS[i]; s.insertBefore(sw, s.firstChild);
  legend.appendChild(s);
});

// Row labels: the axis, then per process a row with its life, then its threads.
var labels = document.getElementById("labels");
labels.appendChild(el("div", "time", "axis"));
var rowY = [];
var lifeY = {};
var lineCount = 0;
var lastPid = null;
D.rows.forEach(function (r, i) {
  if (r.pid !== lastPid) {
    var p = el("div", "pid " + r.pid + "  " + r.label, "proc");
    p.title = r.program;
    labels.appendChild(p);
    lifeY[r.pid] = lineCount * ROW;
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
// As wide as the page leaves beside the labels, so that the whole run shows without scrolling.
var width = Math.max(600, Math.min(4000, document.getElementById("timeline").clientWidth - labels.offsetWidth - 2));
var height = Math.max(ROW, lineCount * ROW);
var ratio = window.devicePixelRatio || 1;
canvas.width = width * ratio; canvas.height = height * ratio;
canvas.style.width = width + "px"; canvas.style.height = height + "px";
var ctx = canvas.getContext("2d");
ctx.scale(ratio, ratio);
var span = D.duration > 0 ? D.duration : 1;
var MARK = 3;  // the narrowest mark, in pixels
function xOf(t) { return (t - D.start) / span * (width - MARK); }

// The time axis: a tick every 1, 2 or 5 times a power of ten, at least 80 px apart.
function tickStep(seconds, pixels) {
  var step = Math.pow(10, Math.floor(Math.log10(seconds / Math.max(1, pixels / 80))));
  var mult = [1, 2, 5, 10].find(function (m) { return seconds / (step * m) <= pixels / 80; });
  return step * mult;
}
function tickLabel(t, step) {
  if (step >= 1) return (Math.round(t * 1e3) / 1e3) + " s";
  var digits = Math.max(0, -Math.floor(Math.log10(step * 1000) + 1e-9));
  return (t * 1000).toFixed(digits) + " ms";
}
var axis = document.getElementById("axis");
axis.style.width = width + "px";
var step = tickStep(span, width);
var ticks = [];
for (var k = 0; k * step <= span * (1 + 1e-9); k++) ticks.push(k * step);
ctx.fillStyle = "#fafafa";
ctx.fillRect(0, 0, width, height);
for (var line = 0; line * ROW < height; line += 2) { ctx.fillStyle = "#f4f6f8"; ctx.fillRect(0, line * ROW, width, ROW); }
ticks.forEach(function (t) {
  var x = t / span * (width - MARK);
  var label = el("span", tickLabel(t, step), "tick");
  label.style.left = x + "px";
  axis.appendChild(label);
  ctx.fillStyle = "#e2e6ea";
  ctx.fillRect(Math.round(x), 0, 1, height);
});

// Lifetimes, in each process's own row.
(D.lives || []).forEach(function (l) {
  var x0 = xOf(l[1]), x1 = Math.max(x0 + MARK, xOf(l[2]) + MARK);
  ctx.fillStyle = "#b8c2cc";
  ctx.fillRect(x0, lifeY[l[0]] + ROW / 2 - 3, x1 - x0, 6);
  if (l[3]) { ctx.fillStyle = "#5d6d7e"; ctx.fillRect(x1 - 2, lifeY[l[0]] + 3, 2, ROW - 6); }
});

// Marks per row: one item per event (or bin), grouped where they would overlap.
function item(m) {
  var counts = [0, 0, 0, 0, 0];
  if (!D.bins) { counts[m[2]] = 1; return { x: xOf(m[1]), counts: counts, n: 1, m: m }; }
  var n = 0;
  for (var k = 0; k < KINDS.length; k++) { counts[k] = m[2 + k]; n += m[2 + k]; }
  return { x: m[1] / D.bins * (width - MARK), counts: counts, n: n, m: m };
}
var items = D.rows.map(function () { return []; });
D.marks.forEach(function (m) { items[m[0]].push(item(m)); });
var byRow = items.map(function (list) {
  list.sort(function (a, b) { return a.x - b.x; });
  var groups = [];
  list.forEach(function (it) {
    var g = groups[groups.length - 1];
    if (g && it.x < g.x1) {
      g.x1 = it.x + MARK; g.n += it.n; g.last = it.m;
      for (var k = 0; k < KINDS.length; k++) g.counts[k] += it.counts[k];
    } else {
      groups.push({ x0: it.x, x1: it.x + MARK, n: it.n, counts: it.counts.slice(), first: it.m, last: it.m, items: 0 });
    }
    groups[groups.length - 1].items++;
  });
  return groups;
});
var fullest = 1;
byRow.forEach(function (groups) { groups.forEach(function (g) { fullest = Math.max(fullest, g.n); }); });
byRow.forEach(function (groups, row) {
  groups.forEach(function (g) {
    var best = 0;
    for (var k = 0; k < KINDS.length; k++) { if (g.counts[k] > g.counts[best]) best = k; }
    var h = ROW - 6;
    if (D.bins) h = Math.max(3, Math.round((ROW - 6) * Math.log(1 + g.n) / Math.log(1 + fullest)));
    ctx.fillStyle = COLORS[best];
    ctx.fillRect(g.x0, rowY[row] + (ROW - h) / 2, g.x1 - g.x0, h);
  });
});

function timeOf(m) { return D.bins ? D.start + m[1] * D.bin_seconds : m[1]; }
function describeOne(m) {
  if (!D.bins) {
    return "t " + seconds(m[1]) + "  " + KINDS[m[2]] + "  fd=" + m[3] + "\n" + D.details[m[4]];
  }
  var parts = [];
  var total = 0;
  for (var k = 0; k < KINDS.length; k++) { if (m[2 + k]) parts.push(KINDS[k] + " " + m[2 + k]); total += m[2 + k]; }
  var from = timeOf(m);
  return "t " + seconds(from) + " to " + seconds(from + D.bin_seconds) + ": " + total + " events (" +
    parts.join(", ") + ")\nfirst: " + D.details[m[7]];
}
function describe(g) {
  if (g.items === 1) return describeOne(g.first);
  var parts = [];
  for (var k = 0; k < KINDS.length; k++) { if (g.counts[k]) parts.push(KINDS[k] + " " + g.counts[k]); }
  var end = timeOf(g.last) + (D.bins ? D.bin_seconds : 0);
  return g.n + " events from " + seconds(timeOf(g.first)) + " to " + seconds(end) + " (" + parts.join(", ") +
    ")\nfirst: " + D.details[D.bins ? g.first[7] : g.first[4]];
}

function markAt(ev) {
  var box = canvas.getBoundingClientRect();
  var mx = ev.clientX - box.left, my = ev.clientY - box.top;
  var row = -1;
  for (var i = 0; i < rowY.length; i++) { if (my >= rowY[i] && my < rowY[i] + ROW) { row = i; break; } }
  if (row < 0) return null;
  var list = byRow[row], lo = 0, hi = list.length;
  while (lo < hi) { var mid = (lo + hi) >> 1; if (list[mid].x1 < mx) lo = mid + 1; else hi = mid; }
  var best = null, dist = 4;
  [lo - 1, lo].forEach(function (j) {
    if (j < 0 || j >= list.length) return;
    var g = list[j], d = mx < g.x0 ? g.x0 - mx : mx > g.x1 ? mx - g.x1 : 0;
    if (d <= dist) { dist = d; best = g; }
  });
  return best ? { row: row, g: best } : null;
}
var tip = document.getElementById("tip");
function rowText(row) { var r = D.rows[row]; return "pid " + r.pid + " tid " + r.tid + " (" + r.thread + ")\n"; }
canvas.addEventListener("mousemove", function (ev) {
  var hit = markAt(ev);
  if (!hit) { tip.style.display = "none"; return; }
  tip.textContent = rowText(hit.row) + describe(hit.g);
  tip.style.left = Math.min(ev.clientX + 12, window.innerWidth - 620) + "px";
  tip.style.top = (ev.clientY + 14) + "px";
  tip.style.display = "block";
});
canvas.addEventListener("mouseleave", function () { tip.style.display = "none"; });
canvas.addEventListener("click", function (ev) {
  var hit = markAt(ev);
  if (hit) document.getElementById("picked").textContent = rowText(hit.row) + describe(hit.g);
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
var COUNTS = D.columns.concat(["threads", "total"]);
table("resources", ["resource"].concat(COUNTS), S.resources.map(function (r) {
  return [r.name].concat(COUNTS.map(function (c) { return r[c]; }));
}), 0, S.resources_more);
table("queries", ["count", "query"], S.queries.map(function (q) { return [q.count, q.text]; }), 1, S.queries_more);
table("processes", ["pid", "program"].concat(COUNTS), S.processes.map(function (p) {
  return [p.pid, p.program === undefined ? "?" : p.program].concat(COUNTS.map(function (c) { return p[c]; }));
}), 1);
var F = D.files;
var fileRows = [], fileMore = 0;
Object.keys(F).forEach(function (s) {
  if (/_more$/.test(s)) { fileMore += F[s]; return; }
  if (s === "processes") return;
  F[s].forEach(function (e) {
    fileRows.push([s, e.from !== undefined ? e.from + " \u2192 " + e.to : e.path || e.name || e.text, e.events]);
  });
});
table("files", ["", "path, address or text", "events"], fileRows, 1, fileMore);
