"""The report of a sequencing: one self-contained HTML file with the summary,
a zoomable picture of the matrix, the blocks, the bands, the tears, the
order and the settings.

The picture is drawn by the page itself on a canvas, from compact data
embedded once: the names, the best order and the marks (as variable-length
integers in base64), so that a report opens in about a second at any size
(the 60,577 items of a large package graph included). Long lists are
written out only when they are short; longer ones are built by the page
when they are opened. Names reach the page as JSON data and are shown as
text, never as markup.
"""

from __future__ import annotations

import base64
import html
from collections import defaultdict
from typing import Any

import numpy as np
import scipy.sparse

from ._bands import (
    bands,
    feedback_count,
    feedback_distance,
    feedback_weight,
    positions,
    tear_distances,
    tear_values,
    tears,
    weighted,
)
from ._dsm import CONVENTION, Dsm, PathLike
from ._objective import OBJECTIVE_WORDS, tie_break_words
from ._sequence import Sequencing

# Lists longer than this are built by the page when opened, not written out.
LIST_ROWS = 2_000
# Names listed per block or band in the written tables of a large matrix.
LISTED_NAMES = 60

STYLE = """
body { font-family: system-ui, sans-serif; margin: 1.5em auto; max-width: 80em; padding: 0 1em; color: #222; }
table { border-collapse: collapse; margin: 0.5em 0 1.5em; }
td, th { border: 1px solid #ccc; padding: 0.2em 0.6em; text-align: left; vertical-align: top; }
th { background: #f2f2f2; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
.note { color: #555; }
#viewer { position: relative; border: 1px solid #ccc; }
#tools { display: flex; flex-wrap: wrap; gap: 0.4em; align-items: center; padding: 0.4em; background: #f7f7f7;
  border-bottom: 1px solid #ddd; }
#tools button { min-width: 2.2em; }
#tools .on { font-weight: bold; background: #dde6f4; }
#status { margin-left: auto; color: #333; font-size: 0.9em; min-height: 1.2em; }
#matrix { display: block; width: 100%; cursor: crosshair; touch-action: none; }
#tip { position: absolute; pointer-events: none; background: #222; color: #fff; padding: 0.25em 0.5em;
  border-radius: 3px; font-size: 0.85em; max-width: 40em; display: none; white-space: pre-wrap; z-index: 2; }
.key { display: inline-block; width: 0.9em; height: 0.9em; vertical-align: -0.1em; margin: 0 0.2em 0 0.8em; }
details > summary { cursor: pointer; margin: 0.5em 0; }
"""

SCRIPT = r"""
(function () {
"use strict";
var D = JSON.parse(document.getElementById("dsm-data").textContent);
var n = D.n, names = D.names;
function bytes(text) {
  var s = atob(text), a = new Uint8Array(s.length);
  for (var i = 0; i < s.length; i++) a[i] = s.charCodeAt(i);
  return a;
}
function varints(text, count) {
  var a = bytes(text), out = new Uint32Array(count), v = 0, scale = 1, k = 0;
  for (var i = 0; i < a.length; i++) {
    var x = a[i];
    v += (x & 127) * scale;
    if (x & 128) { scale *= 128; } else { out[k++] = v; v = 0; scale = 1; }
  }
  return out;
}
var best = varints(D.best, n);              // the item at each position of the best order
var counts = varints(D.rows, n);            // marks of each row, in the best order
var start = new Uint32Array(n + 1);
for (var r = 0; r < n; r++) start[r + 1] = start[r] + counts[r];
var m = start[n];
var steps = varints(D.cols, m);             // columns, each row's first absolute, then steps
var cols = new Uint32Array(m);
for (var r2 = 0; r2 < n; r2++) {
  var c = 0;
  for (var k = start[r2]; k < start[r2 + 1]; k++) { c = (k === start[r2]) ? steps[k] : c + steps[k]; cols[k] = c; }
}
var values = null;
if (D.values) {
  var raw = bytes(D.values), view = new DataView(raw.buffer);
  values = new Float64Array(m);
  for (var v = 0; v < m; v++) values[v] = view.getFloat32(4 * v, true);
}
var top = 0;
if (values) for (var t = 0; t < m; t++) { var a = Math.abs(values[t]); if (isFinite(a) && a > top) top = a; }
var bands = varints(D.bands, n);            // the band of each position of the best order
var blocks = D.blocks;                      // [first, last] positions of each block of more than one item

// The two views: the best order, as the data come, and the file's order.
var views = { best: { at: best, start: start, cols: cols, values: values, blocks: blocks } };
function fileView() {
  if (views.file) return views.file;
  var fileStart = new Uint32Array(n + 1), fileCols = new Uint32Array(m);
  var fileValues = values ? new Float64Array(m) : null;
  for (var r = 0; r < n; r++) fileStart[best[r] + 1] += start[r + 1] - start[r];
  for (var i = 0; i < n; i++) fileStart[i + 1] += fileStart[i];
  var fill = fileStart.slice(0, n);
  for (var r3 = 0; r3 < n; r3++) {
    var row = best[r3];
    for (var k = start[r3]; k < start[r3 + 1]; k++) {
      var at = fill[row]++;
      fileCols[at] = best[cols[k]];
      if (values) fileValues[at] = values[k];
    }
  }
  for (var r4 = 0; r4 < n; r4++) {  // columns of each row in order, for the lookup
    var s = fileStart[r4], e = fileStart[r4 + 1];
    if (e - s > 1) {
      var idx = []; for (var q = s; q < e; q++) idx.push(q);
      idx.sort(function (x, y) { return fileCols[x] - fileCols[y]; });
      var cs = idx.map(function (q) { return fileCols[q]; });
      var vs = values ? idx.map(function (q) { return fileValues[q]; }) : null;
      for (var q2 = s; q2 < e; q2++) { fileCols[q2] = cs[q2 - s]; if (vs) fileValues[q2] = vs[q2 - s]; }
    }
  }
  var identity = new Uint32Array(n);
  for (var i2 = 0; i2 < n; i2++) identity[i2] = i2;
  views.file = { at: identity, start: fileStart, cols: fileCols, values: fileValues, blocks: [] };
  return views.file;
}

var canvas = document.getElementById("matrix"), tip = document.getElementById("tip");
var status = document.getElementById("status"), ctx = canvas.getContext("2d");
var longest = 0;
for (var nm = 0; nm < Math.min(n, 5000); nm++) longest = Math.max(longest, names[nm].length);
// Room for the names beside the matrix when cells are large enough to name,
// else for a few positions.
var named = Math.max(40, Math.min(170, 6.5 * Math.min(longest, 28) + 10)), NAMED = 9, LARGEST = 32;
function marginFor(scale) { return scale >= NAMED ? named : 44; }
var margin = 44;
var state = { view: "best", scale: 1, x: 0, y: 0, width: 0, height: 0, found: -1 };
var current = views.best;

function size() {
  var width = canvas.clientWidth;
  var height = Math.max(320, Math.min(window.innerHeight * 0.85, width, named + LARGEST * n + 16));
  var ratio = window.devicePixelRatio || 1;
  canvas.style.height = height + "px";
  canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
  state.width = width; state.height = height; state.ratio = ratio;
}
function fit() {
  var room = Math.min(state.width, state.height) - 8;
  var scale = Math.min((room - named) / n, LARGEST);
  if (scale < NAMED) scale = Math.min((room - 44) / n, NAMED - 0.01);
  state.scale = Math.max(scale, 1e-6);
  margin = marginFor(state.scale);
  state.x = 0; state.y = 0;
}
function clampView() {
  var cells = (Math.min(state.width, state.height) - margin) / state.scale;
  var most = Math.max(n - cells * 0.5, 0);
  state.x = Math.min(Math.max(state.x, -cells * 0.5), most);
  state.y = Math.min(Math.max(state.y, -cells * 0.5), most);
}
function colour(value, feedback) {
  var strength = 1;
  if (values && top > 0) strength = isFinite(value) ? Math.min(Math.abs(value) / top, 1) : 1;
  var shade = 0.35 + 0.65 * strength;
  var base = feedback ? [214, 39, 40] : [59, 91, 146];
  return [Math.round(255 - shade * (255 - base[0])), Math.round(255 - shade * (255 - base[1])),
          Math.round(255 - shade * (255 - base[2]))];
}
function rgb(c) { return "rgb(" + c[0] + "," + c[1] + "," + c[2] + ")"; }

function draw() {
  var ratio = state.ratio, s = state.scale, W = state.width, H = state.height;
  var V = current;
  margin = marginFor(s);
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, W, H);
  var left = margin, topEdge = margin;
  var first = Math.max(0, Math.floor(state.y)), last = Math.min(n - 1, Math.ceil(state.y + (H - topEdge) / s));
  var firstC = Math.max(0, Math.floor(state.x)), lastC = Math.min(n - 1, Math.ceil(state.x + (W - left) / s));
  function px(c) { return left + (c - state.x) * s; }
  function py(r) { return topEdge + (r - state.y) * s; }
  ctx.save();
  ctx.beginPath(); ctx.rect(left, topEdge, W - left, H - topEdge); ctx.clip();
  // The matrix's edge and its diagonal.
  ctx.strokeStyle = "#999"; ctx.lineWidth = 1;
  ctx.strokeRect(px(0) - 0.5, py(0) - 0.5, n * s + 1, n * s + 1);
  var feedback = [];
  if (s < 2) {
    // Less than two pixels a cell: the marks go pixel by pixel into an image.
    var w = Math.ceil((W - left) * ratio), h = Math.ceil((H - topEdge) * ratio);
    var image = ctx.createImageData(Math.max(w, 1), Math.max(h, 1)), data = image.data;
    var sr = s * ratio;
    for (var d = first; d <= last; d++) {
      var xd = Math.floor((d - state.x) * sr), yd = Math.floor((d - state.y) * sr);
      if (xd >= 0 && xd < w && yd >= 0 && yd < h) {
        var o = 4 * (yd * w + xd);
        data[o] = data[o + 1] = data[o + 2] = 200; data[o + 3] = 255;
      }
    }
    for (var r = first; r <= last; r++) {
      var y = Math.floor((r - state.y) * sr);
      if (y < 0 || y >= h) continue;
      for (var k = V.start[r]; k < V.start[r + 1]; k++) {
        var c = V.cols[k];
        if (c > r) { feedback.push(k, r); continue; }
        var x = Math.floor((c - state.x) * sr);
        if (x < 0 || x >= w) continue;
        var col = colour(V.values ? V.values[k] : 1, false), p = 4 * (y * w + x);
        data[p] = col[0]; data[p + 1] = col[1]; data[p + 2] = col[2]; data[p + 3] = 255;
      }
    }
    ctx.save(); ctx.setTransform(1, 0, 0, 1, 0, 0);
    var bitmap = document.createElement("canvas");
    bitmap.width = image.width; bitmap.height = image.height;
    bitmap.getContext("2d").putImageData(image, 0, 0);
    ctx.drawImage(bitmap, Math.round(left * ratio), Math.round(topEdge * ratio));
    ctx.restore();
  } else {
    ctx.fillStyle = "#d9d9d9";
    for (var d2 = first; d2 <= last; d2++) ctx.fillRect(px(d2), py(d2), s, s);
    if (s >= 6) {
      ctx.strokeStyle = "#ececec"; ctx.lineWidth = 1; ctx.beginPath();
      for (var g = firstC; g <= lastC + 1; g++) { ctx.moveTo(px(g), py(first)); ctx.lineTo(px(g), py(last + 1)); }
      for (var g2 = first; g2 <= last + 1; g2++) { ctx.moveTo(px(firstC), py(g2)); ctx.lineTo(px(lastC + 1), py(g2)); }
      ctx.stroke();
    }
    var gap = s >= 6 ? 1 : 0;
    for (var r5 = first; r5 <= last; r5++) {
      for (var k2 = V.start[r5]; k2 < V.start[r5 + 1]; k2++) {
        var c2 = V.cols[k2];
        if (c2 > r5) { feedback.push(k2, r5); continue; }
        if (c2 < firstC || c2 > lastC) continue;
        ctx.fillStyle = rgb(colour(V.values ? V.values[k2] : 1, false));
        ctx.fillRect(px(c2) + gap, py(r5) + gap, s - gap, s - gap);
      }
    }
  }
  // Block outlines above the marks; small blocks stay visible as small squares.
  ctx.strokeStyle = "#138a13"; ctx.lineWidth = s >= 6 ? 2.5 : 1.5;
  for (var b = 0; b < V.blocks.length; b++) {
    var lo = V.blocks[b][0], hi = V.blocks[b][1];
    if (hi < first || lo > last) continue;
    var side = Math.max((hi - lo + 1) * s, 5), centre = (lo + hi + 1) / 2;
    ctx.strokeRect(px(centre) - side / 2, py(centre) - side / 2, side, side);
  }
  // Feedback marks above everything, at least three pixels wide.
  var mark = Math.max(s, 3), shift = (mark - s) / 2, gap2 = s >= 6 ? 1 : 0;
  for (var f = 0; f < feedback.length; f += 2) {
    var k3 = feedback[f], r6 = feedback[f + 1], c3 = V.cols[k3];
    if (c3 < firstC - 2 || c3 > lastC + 2) continue;
    ctx.fillStyle = rgb(colour(V.values ? V.values[k3] : 1, true));
    ctx.fillRect(px(c3) - shift + gap2, py(r6) - shift + gap2, mark - gap2, mark - gap2);
  }
  if (state.found >= 0) {
    var at = state.found;
    ctx.fillStyle = "rgba(255, 200, 0, 0.25)";
    ctx.fillRect(px(0), py(at), n * s, Math.max(s, 2));
    ctx.fillRect(px(at), py(0), Math.max(s, 2), n * s);
  }
  ctx.restore();
  labels(first, last, firstC, lastC, px, py);
}

function labels(first, last, firstC, lastC, px, py) {
  var s = state.scale, V = current;
  ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, state.width, margin); ctx.fillRect(0, 0, margin, state.height);
  ctx.fillStyle = "#333"; ctx.textBaseline = "middle";
  if (s >= 9) {
    ctx.font = Math.min(13, Math.max(9, s * 0.75)) + "px system-ui, sans-serif";
    ctx.textAlign = "right";
    for (var r = first; r <= last; r++) ctx.fillText(short(names[V.at[r]]), margin - 4, py(r) + s / 2, margin - 6);
    ctx.save(); ctx.rotate(-Math.PI / 2); ctx.textAlign = "left";
    for (var c = firstC; c <= lastC; c++) ctx.fillText(short(names[V.at[c]]), -margin + 4, px(c) + s / 2, margin - 6);
    ctx.restore();
  } else {
    // Positions every so often, where names would not fit.
    var every = Math.pow(10, Math.ceil(Math.log10(45 / s)));
    if (every * s > 160) every /= 2;
    ctx.font = "11px system-ui, sans-serif"; ctx.textAlign = "right";
    for (var p = Math.ceil(first / every) * every; p <= last; p += every) {
      if (p === 0) continue;
      ctx.fillText(String(p), margin - 4, py(p - 1) + s / 2);
      ctx.fillRect(margin - 3, py(p - 1) + s / 2, 3, 1);
    }
    ctx.save(); ctx.rotate(-Math.PI / 2); ctx.textAlign = "left";
    for (var q = Math.ceil(firstC / every) * every; q <= lastC; q += every) {
      if (q === 0) continue;
      ctx.fillText(String(q), -margin + 4, px(q - 1) + s / 2);
    }
    ctx.restore();
  }
}
function short(name) { return name.length > 28 ? name.slice(0, 27) + "…" : name; }

function cellAt(clientX, clientY) {
  var box = canvas.getBoundingClientRect();
  var x = clientX - box.left, y = clientY - box.top;
  var r = Math.floor(state.y + (y - margin) / state.scale), c = Math.floor(state.x + (x - margin) / state.scale);
  return { x: x, y: y, r: r, c: c, inside: x >= margin && y >= margin && r >= 0 && c >= 0 && r < n && c < n,
           left: x < margin && y >= margin && r >= 0 && r < n, top: y < margin && x >= margin && c >= 0 && c < n };
}
function find(V, r, c) {
  var lo = V.start[r], hi = V.start[r + 1] - 1;
  while (lo <= hi) {
    var mid = (lo + hi) >> 1, x = V.cols[mid];
    if (x === c) return mid;
    if (x < c) lo = mid + 1; else hi = mid - 1;
  }
  return -1;
}
function number(value) { return Number.isInteger(value) ? String(value) : String(+value.toPrecision(6)); }
function describe(r, c) {
  var V = current, a = names[V.at[r]], b = names[V.at[c]];
  var where = "row " + (r + 1) + ", column " + (c + 1) + ": ";
  if (r === c) return where + a + " (the diagonal)";
  var k = find(V, r, c);
  if (k < 0) return where + a + " does not need " + b;
  var text = where + a + " needs " + b + (V.values ? " (value " + number(V.values[k]) + ")" : "");
  if (c > r) text += " — a feedback mark: " + b + " comes later";
  return text;
}
function hover(event) {
  var at = cellAt(event.clientX, event.clientY), text = "";
  if (at.inside) text = describe(at.r, at.c);
  else if (at.left) text = "row " + (at.r + 1) + ": " + names[current.at[at.r]];
  else if (at.top) text = "column " + (at.c + 1) + ": " + names[current.at[at.c]];
  if (!text) { tip.style.display = "none"; return; }
  tip.textContent = text;
  status.textContent = text;
  tip.style.display = "block";
  var x = at.x + 14, y = at.y + 14;
  if (x + tip.offsetWidth > state.width) x = Math.max(0, at.x - tip.offsetWidth - 8);
  tip.style.left = x + "px"; tip.style.top = (y + canvas.offsetTop) + "px";
}
function zoom(factor, x, y) {
  var cx = state.x + (x - margin) / state.scale, cy = state.y + (y - margin) / state.scale;
  var least = (Math.min(state.width, state.height) - margin) / n / 2, most = 60;
  state.scale = Math.min(Math.max(state.scale * factor, Math.min(least, most)), most);
  margin = marginFor(state.scale);
  state.x = cx - (x - margin) / state.scale; state.y = cy - (y - margin) / state.scale;
  clampView(); schedule();
}
var pending = false;
function schedule() { if (!pending) { pending = true; requestAnimationFrame(function () { pending = false; draw(); }); } }

canvas.addEventListener("wheel", function (event) {
  event.preventDefault();
  var box = canvas.getBoundingClientRect();
  zoom(Math.exp(-event.deltaY * (event.deltaMode ? 0.05 : 0.0015)), event.clientX - box.left, event.clientY - box.top);
}, { passive: false });
var drag = null;
canvas.addEventListener("pointerdown", function (event) {
  drag = { x: event.clientX, y: event.clientY, sx: state.x, sy: state.y };
  canvas.setPointerCapture(event.pointerId);
});
canvas.addEventListener("pointermove", function (event) {
  if (drag && event.buttons) {
    state.x = drag.sx - (event.clientX - drag.x) / state.scale;
    state.y = drag.sy - (event.clientY - drag.y) / state.scale;
    clampView(); schedule(); tip.style.display = "none";
  } else { hover(event); }
});
canvas.addEventListener("pointerup", function () { drag = null; });
canvas.addEventListener("pointerleave", function () { tip.style.display = "none"; });
canvas.addEventListener("dblclick", function (event) {
  var box = canvas.getBoundingClientRect();
  zoom(event.shiftKey ? 0.5 : 2, event.clientX - box.left, event.clientY - box.top);
});
function button(id, action) { document.getElementById(id).addEventListener("click", action); }
button("zoom-in", function () { zoom(2, margin + (state.width - margin) / 2, margin + (state.height - margin) / 2); });
button("zoom-out", function () { zoom(0.5, margin + (state.width - margin) / 2, margin + (state.height - margin) / 2); });
button("zoom-fit", function () { fit(); schedule(); });
function show(view) {
  state.view = view; current = view === "best" ? views.best : fileView();
  document.getElementById("view-best").classList.toggle("on", view === "best");
  document.getElementById("view-file").classList.toggle("on", view === "file");
  state.found = -1; schedule();
}
button("view-best", function () { show("best"); });
button("view-file", function () { show("file"); });
document.getElementById("find").addEventListener("submit", function (event) {
  event.preventDefault();
  var wanted = document.getElementById("find-name").value.trim().toLowerCase();
  if (!wanted) return;
  var item = -1;
  for (var i = 0; i < n && item < 0; i++) if (names[i].toLowerCase() === wanted) item = i;
  for (var j = 0; j < n && item < 0; j++) if (names[j].toLowerCase().indexOf(wanted) >= 0) item = j;
  if (item < 0) { status.textContent = "no item named " + wanted; return; }
  var V = current, at = -1;
  for (var p = 0; p < n; p++) if (V.at[p] === item) { at = p; break; }
  state.found = at;
  state.scale = Math.max(state.scale, 14);
  margin = marginFor(state.scale);
  var cells = (Math.min(state.width, state.height) - margin) / state.scale;
  state.x = at - cells / 2; state.y = at - cells / 2;
  clampView(); schedule();
  status.textContent = names[item] + ": position " + (at + 1) + (state.view === "best" ? ", band " + bands[at] : "");
});
window.addEventListener("resize", function () { size(); clampView(); schedule(); });

// Long lists, built when opened.
function cell(row, text, numeric) {
  var td = document.createElement("td"); td.textContent = text; if (numeric) td.className = "n"; row.appendChild(td);
}
var blockOf = new Int32Array(n).fill(0);
for (var bb = 0; bb < blocks.length; bb++) for (var pp = blocks[bb][0]; pp <= blocks[bb][1]; pp++) blockOf[pp] = bb + 1;
var lists = {
  order: { head: ["position", "item", "band", "block"], count: n,
           row: function (tr, p) {
             cell(tr, p + 1, 1); cell(tr, names[best[p]]); cell(tr, bands[p], 1); cell(tr, blockOf[p] || "", 1);
           } },
  tears: null
};
function tearList() {
  var found = [];
  for (var r = 0; r < n; r++) for (var k = start[r]; k < start[r + 1]; k++) if (cols[k] > r) found.push(k, r);
  return { head: ["item", "needs (later) item", "value", "places above the diagonal"], count: found.length / 2,
           row: function (tr, i) { var k = found[2 * i], r = found[2 * i + 1]; cell(tr, names[best[r]]); cell(tr, names[best[cols[k]]]);
                                   cell(tr, values ? number(values[k]) : "1", 1); cell(tr, String(cols[k] - r), 1); } };
}
var listsAll = document.querySelectorAll("details[data-list]");
for (var li = 0; li < listsAll.length; li++) {
  listsAll[li].addEventListener("toggle", function () {
    var box = this;
    if (!box.open || box.dataset.built) return;
    box.dataset.built = "1";
    var list = box.dataset.list === "tears" ? (lists.tears = lists.tears || tearList()) : lists[box.dataset.list];
    var table = document.createElement("table"), head = document.createElement("tr");
    list.head.forEach(function (h) { var th = document.createElement("th"); th.textContent = h; head.appendChild(th); });
    table.appendChild(head); box.appendChild(table);
    var shown = 0, more = document.createElement("button");
    function page() {
      var end = Math.min(shown + 2000, list.count), part = document.createDocumentFragment();
      for (; shown < end; shown++) { var tr = document.createElement("tr"); list.row(tr, shown); part.appendChild(tr); }
      table.appendChild(part);
      var left = list.count - shown;
      more.textContent = "show " + Math.min(2000, left).toLocaleString() + " more of " + left.toLocaleString();
      more.style.display = shown < list.count ? "" : "none";
    }
    more.addEventListener("click", page); box.appendChild(more); page();
  });
}

size(); fit(); draw();
document.documentElement.dataset.drawn = String(performance.now());
window.dsmReport = {
  cellCentre: function (r, c) {
    var box = canvas.getBoundingClientRect();
    return { x: box.left + margin + (c - state.x + 0.5) * state.scale, y: box.top + margin + (r - state.y + 0.5) * state.scale };
  },
  // The view centred on row r, column c, with cells `scale` pixels wide.
  centre: function (r, c, scale) {
    state.scale = scale; margin = marginFor(scale);
    state.x = c + 0.5 - (state.width - margin) / scale / 2; state.y = r + 0.5 - (state.height - margin) / scale / 2;
    draw();
  }
};
})();
"""


def _e(value: object) -> str:
    return html.escape(str(value), quote=True)


def _varints(values: np.ndarray) -> bytes:
    """Non-negative integers (below 2**35) as variable-length integers: 7 bits
    a byte, the high bit set on all but a number's last byte."""
    v = np.asarray(values, dtype=np.uint64)
    if not v.size:
        return b""
    size = np.ones(v.size, dtype=np.int64)
    for k in range(1, 5):
        size += v >= (1 << (7 * k))
    out = np.zeros(int(size.sum()), dtype=np.uint8)
    first = np.cumsum(size) - size
    for k in range(5):
        take = size > k
        piece = ((v[take] >> np.uint64(7 * k)) & np.uint64(0x7F)).astype(np.uint8)
        more = (size[take] > k + 1).astype(np.uint8) << 7
        out[first[take] + k] = piece | more
    return out.tobytes()


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _data(dsm: Dsm, sequencing: Sequencing, band: list[int]) -> dict[str, Any]:
    """What the page draws: the marks in the best order's positions, row by
    row, each row's columns as the first one and then the steps between."""
    n = dsm.n
    order = np.asarray(sequencing.order, dtype=np.int64)
    pos = positions(sequencing.order, n)
    coo = scipy.sparse.coo_array(dsm.matrix)
    keep = (coo.row != coo.col) & (coo.data != 0)
    r, c, v = pos[coo.row[keep]], pos[coo.col[keep]], coo.data[keep]
    sort = np.lexsort((c, r))
    r, c, v = r[sort], c[sort], v[sort]
    counts = np.bincount(r, minlength=n)
    steps = c.copy()
    if c.size:
        same = np.zeros(c.size, dtype=bool)
        same[1:] = r[1:] == r[:-1]
        steps[same] = c[same] - c[np.flatnonzero(same) - 1]
    spans = []
    for block in sequencing.blocks:
        if len(block) > 1:
            p = pos[np.asarray(block, dtype=np.int64)]
            spans.append([int(p.min()), int(p.max())])
    return {
        "n": n,
        "names": dsm.labels,
        "best": _b64(_varints(order)),
        "rows": _b64(_varints(counts)),
        "cols": _b64(_varints(steps)),
        "values": _b64(v.astype("<f4").tobytes()) if weighted(dsm) else None,
        "bands": _b64(_varints(np.asarray(band, dtype=np.int64)[order])),
        "blocks": spans,
    }


def _table(head: list[str], rows: list[list[object]], numeric: set[int] | None = None) -> str:
    numeric = numeric or set()
    out = ["<table><tr>" + "".join(f"<th>{_e(h)}</th>" for h in head) + "</tr>"]
    for row in rows:
        out.append("<tr>" + "".join(f'<td class="n">{_e(x)}</td>' if k in numeric else f"<td>{_e(x)}</td>"
                                    for k, x in enumerate(row)) + "</tr>")
    out.append("</table>")
    return "\n".join(out)


def _listed(names: list[str]) -> str:
    if len(names) <= LISTED_NAMES:
        return ", ".join(names)
    return ", ".join(names[:LISTED_NAMES]) + f", … and {len(names) - LISTED_NAMES:,} more (see the order)"


def _number(value: float) -> str:
    value = float(value)
    return str(int(value)) if value.is_integer() and abs(value) < 2**53 else f"{value:.6g}"


def report_html(
    dsm: Dsm,
    sequencing: Sequencing,
    *,
    source: str = "",
    settings: dict[str, Any] | None = None,
    interrupted: bool = False,
) -> str:
    """The report as one self-contained HTML page; every name is escaped (or
    handed to the page as JSON data and shown as text)."""
    from ._write import json_text

    page = _Page(dsm, sequencing)
    title = f"Sequencing of {source or 'a matrix'}"
    out: list[str] = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{_e(title)}</title>",
        f"<style>{STYLE}</style></head><body>",
        f"<h1>{_e(title)}</h1>",
    ]
    out += _how_read(dsm, interrupted)
    out += _summary(page)
    out += _matrix(page)
    out += _blocks(page)
    out += _bands(page)
    out += _tears(page)
    out += _order(page)
    out += _settings(sequencing, settings)
    # JSON inside a script element: "<" escaped, so that no name can end the element.
    data = json_text(_data(dsm, sequencing, page.band)).replace("<", "\\u003c")
    out.append(f'<script type="application/json" id="dsm-data">{data}</script>')
    out.append(f"<script>{SCRIPT}</script>")
    out.append("</body></html>\n")
    return "\n".join(out)


class _Page:
    """What the sections of a report share."""

    def __init__(self, dsm: Dsm, sequencing: Sequencing) -> None:
        self.dsm = dsm
        self.sequencing = sequencing
        self.names = dsm.labels
        self.order = sequencing.order
        self.n = dsm.n
        self.band = bands(dsm, self.order)
        self.big = [block for block in sequencing.blocks if len(block) > 1]
        self.weighted = weighted(dsm)


def _how_read(dsm: Dsm, interrupted: bool) -> list[str]:
    out: list[str] = []
    reading = dsm.reading
    if reading is not None:
        out.append(f'<p class="note">The file: {_e(reading.describe())}.</p>')
        for note in reading.notes:
            out.append(f'<p class="note">{_e(note[0].upper() + note[1:])}.</p>')
        for warning in reading.warnings:
            out.append(f"<p><strong>Check:</strong> {_e(warning)}.</p>")
    out.append(f'<p class="note">Shown here as: {_e(CONVENTION)}.</p>')
    if interrupted:
        out.append("<p><strong>The search was interrupted: this is the best order found until then.</strong></p>")
    return out


def _summary(page: _Page) -> list[str]:
    dsm, sequencing, n = page.dsm, page.sequencing, page.n
    given = list(range(n))
    marks = int(np.count_nonzero((dsm.matrix.data != 0))) - int(np.count_nonzero(dsm.matrix.diagonal()))
    if sequencing.optimal:
        status = "yes (proven)" + ("; the tie-break too" if sequencing.tie_break_optimal else "")
    else:
        status = f"not proven: no order has less than {_number(sequencing.lower_bound)}"
    objective = OBJECTIVE_WORDS[sequencing.objective]
    if sequencing.tie_break:
        objective += f"; {tie_break_words(sequencing.objective)}"
    rows: list[tuple[str, object]] = [
        ("items", f"{n:,}"),
        ("marks", f"{marks:,}"),
        ("objective", objective),
        ("feedback marks, file's order → best order", f"{feedback_count(dsm, given):,} → {sequencing.feedback_marks:,}"),
    ]
    if page.weighted or sequencing.objective == "weight":
        rows += [("total value of the feedback marks, file's order → best order",
                  f"{_number(feedback_weight(dsm, given))} → {_number(sequencing.feedback_weight)}")]
    rows += [
        ("total distance of the feedback marks from the diagonal, file's order → best order",
         f"{feedback_distance(dsm, given):,} → {sequencing.feedback_distance:,}"),
        ("lower bound of the objective", _number(sequencing.lower_bound)),
        ("optimal", status),
        ("blocks of more than one item", f"{len(page.big):,} holding {sum(map(len, page.big)):,} items"),
        ("bands", f"{max(page.band, default=0):,}"),
        ("seconds", f"{sequencing.seconds:.2f}"),
    ]
    return ["<h2>Summary</h2><table>", *[f"<tr><th>{_e(k)}</th><td>{_e(v)}</td></tr>" for k, v in rows], "</table>"]


def _matrix(page: _Page) -> list[str]:
    is_weighted = page.weighted
    out: list[str] = []
    out.append("<h2>The matrix</h2>")
    out.append(
        '<div id="viewer"><div id="tools">'
        '<button id="view-best" class="on" type="button">best order</button>'
        '<button id="view-file" type="button">file\'s order</button>'
        '<button id="zoom-in" type="button" title="zoom in">+</button>'
        '<button id="zoom-out" type="button" title="zoom out">−</button>'
        '<button id="zoom-fit" type="button" title="the whole matrix">fit</button>'
        '<form id="find"><input id="find-name" placeholder="find an item" size="18" aria-label="find an item">'
        '<button type="submit">find</button></form>'
        '<span id="status" aria-live="polite"></span></div>'
        '<canvas id="matrix" aria-label="the matrix in the best order"></canvas><div id="tip" role="tooltip"></div>'
        "</div>"
    )
    out.append(
        '<p class="note"><span class="key" style="background:#3b5b92"></span>a mark (the row\'s item needs the '
        'column\'s)<span class="key" style="background:#d62728"></span>a feedback mark (above the diagonal: the '
        'needed item comes later), drawn above everything'
        '<span class="key" style="border:2px solid #138a13"></span>a block'
        + ("; darker: a stronger mark" if is_weighted else "")
        + ". Scroll or double-click to zoom, drag to move, point at a cell to name its two items.</p>"
    )
    out.append("<noscript><p>The picture needs JavaScript; the tables below hold the same results.</p></noscript>")

    return out


def _blocks(page: _Page) -> list[str]:
    names, big = page.names, page.big
    out: list[str] = []
    out.append("<h2>Blocks</h2>")
    if big:
        out.append('<p class="note">Items of a block need each other (directly or through others): '
                   "some of their marks are feedback marks in every order.</p>")
        out.append(_table(["block", "items", "items, in the best order"],
                          [[k, len(block), _listed([names[i] for i in block])] for k, block in enumerate(big, start=1)],
                          {0, 1}))
    else:
        out.append("<p>No block: no item needs itself through others, so an order without feedback marks exists.</p>")

    return out


def _bands(page: _Page) -> list[str]:
    names, order, band = page.names, page.order, page.band
    out: list[str] = []
    out.append("<h2>Bands</h2>")
    out.append('<p class="note">Items of one band can proceed in parallel once the feedback marks are set aside: '
               "an item's band is one more than the latest band among the earlier items it needs.</p>")
    by_band: dict[int, list[str]] = defaultdict(list)
    for i in order:
        by_band[band[i]].append(names[i])
    out.append(_table(["band", "items", "the items"],
                      [[b, len(by_band[b]), _listed(by_band[b])] for b in sorted(by_band)], {0, 1}))

    return out


def _tears(page: _Page) -> list[str]:
    dsm, names, order = page.dsm, page.names, page.order
    out: list[str] = []
    torn = tears(dsm, order)
    out.append(f"<h2>Tears ({len(torn):,})</h2>")
    if not torn:
        out.append("<p>None.</p>")
    else:
        out.append('<p class="note">The feedback marks of the best order: the item needs an item that comes '
                   "later, so work starts on an assumption to be checked later.</p>")
        if len(torn) <= LIST_ROWS:
            values = tear_values(dsm, order)
            distances = tear_distances(dsm, order)
            out.append(_table(["item", "needs (later) item", "value", "places above the diagonal"],
                              [[names[a], names[b], _number(v), d] for (a, b), v, d in zip(torn, values, distances)],
                              {2, 3}))
        else:
            out.append(f'<details data-list="tears"><summary>{len(torn):,} tears (listed when opened)</summary>'
                       "</details>")

    return out


def _order(page: _Page) -> list[str]:
    names, order, n, big, band = page.names, page.order, page.n, page.big, page.band
    out: list[str] = []
    out.append("<h2>Order</h2>")
    if n <= LIST_ROWS:
        block_no = {i: k for k, block in enumerate(big, start=1) for i in block}
        out.append(_table(["position", "item", "band", "block"],
                          [[p, names[i], band[i], block_no.get(i, "")] for p, i in enumerate(order, start=1)],
                          {0, 2, 3}))
    else:
        out.append(f'<details data-list="order"><summary>{n:,} items with their band and block (listed when '
                   "opened)</summary></details>")

    return out


def _settings(sequencing: Sequencing, settings: dict[str, Any] | None) -> list[str]:
    out: list[str] = []
    out.append("<h2>Settings</h2><table>")
    merged = {"method": sequencing.method, "seed": sequencing.seed, **(settings or {})}
    out += [f"<tr><th>{_e(k)}</th><td>{_e(v)}</td></tr>" for k, v in merged.items()]
    out.append("</table>")
    out.append(f'<p class="note">Reproduce with the same file and <code>--seed {sequencing.seed}</code> '
               "(the time limit matters too).</p>")
    return out


def write_report(
    path: PathLike,
    dsm: Dsm,
    sequencing: Sequencing,
    *,
    source: str = "",
    settings: dict[str, Any] | None = None,
    interrupted: bool = False,
) -> None:
    """Write the report of `sequencing` to `path` (one self-contained HTML
    file), whole or not at all. `source` names the matrix in its title
    (the input's file name, say); `settings` are listed as given."""
    from ._write import replacing

    page = report_html(dsm, sequencing, source=source, settings=settings, interrupted=interrupted)
    with replacing(path, "w", encoding="utf-8") as handle:
        handle.write(page)
