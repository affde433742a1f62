// Style and script of the report page. The timeline is one canvas redrawn from the call
// list; the call table draws only the rows in view, so 100,000 calls stay responsive.
#include "page_script.h"

namespace qel::report {

const char kPageStyle[] = R"CSS(
body { font: 13px sans-serif; margin: 16px; color: #222; }
h1 { font-size: 18px; } h2 { font-size: 15px; margin-top: 22px; }
table { border-collapse: collapse; margin-bottom: 8px; }
td, th { border: 1px solid #ccc; padding: 2px 6px; text-align: left; vertical-align: top; }
th { background: #eee; }
td.line, .row .l { font-family: monospace; white-space: pre; }
.hint { color: #666; margin-bottom: 4px; }
#timeline { position: relative; border: 1px solid #aaa; }
#canvas { display: block; width: 100%; cursor: grab; }
#tip { position: absolute; display: none; background: #ffd; border: 1px solid #999;
  font-family: monospace; white-space: pre; padding: 4px; pointer-events: none; z-index: 2; }
#filters label { margin-right: 12px; }
#count { color: #444; }
#table { position: relative; height: 420px; overflow: auto; border: 1px solid #aaa; margin-top: 6px; }
#rows { position: relative; }
.row { position: absolute; left: 0; right: 0; height: 20px; line-height: 20px; white-space: nowrap;
  border-bottom: 1px solid #eee; font-size: 12px; }
.row span { display: inline-block; overflow: hidden; vertical-align: top; padding: 0 4px; }
.row .n { width: 60px; text-align: right; } .row .t { width: 40px; text-align: right; }
.row .f { width: 180px; } .row .s { width: 110px; } .row .d { width: 60px; text-align: right; }
.row .r { width: 70px; } .row .e { width: 260px; }
.row.failed { background: #fdd; } .row.open { background: #eef; }
.row .k { width: 14px; padding: 0; text-align: center; } .row .k.kids { cursor: pointer; }
.row.chosen { outline: 1px solid #37c; outline-offset: -1px; } .row { cursor: default; }
#raw { font-family: monospace; white-space: pre; overflow-x: auto; border: 1px solid #aaa;
  border-top: none; padding: 4px; min-height: 32px; background: #fafafa; font-size: 12px; }
)CSS";

const char kPageScript[] = R"JS(
(function () {
  'use strict';
  var data = JSON.parse(document.getElementById('data').textContent);
  var calls = data.calls, functions = data.functions;
  var T = 0, DEPTH = 1, FN = 2, START = 3, END = 4, RES = 5, ERR = 6, FAILED = 7, PRE = 8, POST = 9,
    DECODED = 10;
  var first = data.first, last = Math.max(data.last, data.first + 1);

  // Lanes: one per thread that has calls, in thread order.
  var laneOf = {}, lanes = [];
  calls.forEach(function (c) {
    if (!(c[T] in laneOf)) { laneOf[c[T]] = -1; }
  });
  data.threads.forEach(function (t) {
    if (t[0] in laneOf) { laneOf[t[0]] = lanes.length; lanes.push({ number: t[0], id: t[1], calls: [], depth: 1 }); }
  });
  calls.forEach(function (c, i) {
    var lane = lanes[laneOf[c[T]]];
    lane.calls.push(i);
    lane.depth = Math.max(lane.depth, c[DEPTH] + 1);
  });
  // Each call's caller: the call of its thread one level out that was open when it was made.
  var parent = [], kids = [], openOf = {};
  calls.forEach(function (c, i) {
    var open = openOf[c[T]] || (openOf[c[T]] = []);
    open.length = c[DEPTH];
    parent[i] = c[DEPTH] > 0 && open[c[DEPTH] - 1] !== undefined ? open[c[DEPTH] - 1] : -1;
    if (parent[i] >= 0) kids[parent[i]] = true;
    open[c[DEPTH]] = i;
  });
  var folded = {}, hidden = [];

  function timeText(t) {
    var day = Math.floor(t / 86400000), ms = t % 86400000;
    function two(n) { return (n < 10 ? '0' : '') + n; }
    var s = two(Math.floor(ms / 3600000)) + ':' + two(Math.floor(ms / 60000) % 60) + ':' +
      two(Math.floor(ms / 1000) % 60) + ':' + ('00' + (ms % 1000)).slice(-3);
    return day > 0 ? s + ' +' + day + 'd' : s;
  }
  function endOf(c) { return c[END] >= 0 ? c[END] : last; }

  // Timeline.
  var canvas = document.getElementById('canvas'), tip = document.getElementById('tip');
  var LABEL = 90, LANE = 30, AXIS = 22;
  var view = { from: first, to: last };
  var drawnBars = 0;
  function width() { return canvas.clientWidth || 800; }
  function x(t, w) { return LABEL + (t - view.from) / (view.to - view.from) * (w - LABEL); }
  function draw() {
    var w = width(), h = AXIS + Math.max(1, lanes.length) * LANE;
    var ratio = window.devicePixelRatio || 1;
    canvas.style.height = h + 'px';
    canvas.width = w * ratio; canvas.height = h * ratio;
    var g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    g.clearRect(0, 0, w, h);
    g.font = '11px sans-serif'; g.fillStyle = '#444';
    for (var k = 0; k <= 4; k++) {
      var t = view.from + (view.to - view.from) * k / 4;
      var px = LABEL + (w - LABEL) * k / 4;
      g.fillRect(px, AXIS - 4, 1, 4);
      g.fillText(timeText(Math.round(t)), Math.min(px, w - 80), 12);
    }
    drawnBars = 0;
    lanes.forEach(function (lane, li) {
      var top = AXIS + li * LANE;
      g.fillStyle = li % 2 ? '#f6f6f6' : '#fff';
      g.fillRect(0, top, w, LANE);
      g.fillStyle = '#222';
      g.fillText('thread ' + lane.number, 4, top + 18);
      var barH = Math.max(3, (LANE - 4) / lane.depth);
      lane.calls.forEach(function (i) {
        var c = calls[i], s = c[START], e = endOf(c);
        if (e < view.from || s > view.to) return;
        var x0 = Math.max(LABEL, x(s, w)), x1 = Math.min(w, x(e, w));
        var y = top + 2 + c[DEPTH] * barH;
        g.fillStyle = c[FAILED] ? '#d33' : (c[END] < 0 ? '#88a' : '#37c');
        g.fillRect(x0, y, Math.max(1, x1 - x0), barH - 1);
        if (c[END] < 0) {
          // Open end: a fading tail and an arrow head at the end of the log.
          g.fillStyle = '#fff';
          g.beginPath(); g.moveTo(x1 - 6, y); g.lineTo(x1, y + (barH - 1) / 2); g.lineTo(x1 - 6, y + barH - 1);
          g.closePath(); g.fill();
        }
        drawnBars++;
      });
    });
  }
  function callAt(px, py) {
    var li = Math.floor((py - AXIS) / LANE);
    if (li < 0 || li >= lanes.length || px < LABEL) return -1;
    var lane = lanes[li], w = width();
    var barH = Math.max(3, (LANE - 4) / lane.depth);
    var depth = Math.floor((py - AXIS - li * LANE - 2) / barH);
    var t = view.from + (px - LABEL) / (w - LABEL) * (view.to - view.from);
    var slack = (view.to - view.from) / (w - LABEL) * 2;
    var found = -1;
    lane.calls.forEach(function (i) {
      var c = calls[i];
      if (c[DEPTH] === depth && c[START] - slack <= t && endOf(c) + slack >= t) found = i;
    });
    return found;
  }
  var drag = null;
  canvas.addEventListener('mousedown', function (ev) { drag = { x: ev.clientX, from: view.from, to: view.to }; });
  window.addEventListener('mouseup', function () { drag = null; });
  canvas.addEventListener('mousemove', function (ev) {
    var r = canvas.getBoundingClientRect(), px = ev.clientX - r.left, py = ev.clientY - r.top;
    if (drag) {
      var dt = (ev.clientX - drag.x) / (width() - LABEL) * (drag.to - drag.from);
      view.from = drag.from - dt; view.to = drag.to - dt; draw(); return;
    }
    var i = callAt(px, py);
    if (i < 0) { tip.style.display = 'none'; return; }
    var c = calls[i];
    tip.textContent = c[PRE] + '\n' + (c[END] >= 0 ? c[POST] : '(still in flight at the end of the log)');
    tip.style.display = 'block';
    tip.style.left = Math.min(px + 12, Math.max(0, width() - tip.offsetWidth)) + 'px';
    tip.style.top = (py + 16) + 'px';
  });
  canvas.addEventListener('mouseleave', function () { tip.style.display = 'none'; });
  canvas.addEventListener('wheel', function (ev) {
    ev.preventDefault();
    var r = canvas.getBoundingClientRect(), w = width();
    var at = view.from + (ev.clientX - r.left - LABEL) / (w - LABEL) * (view.to - view.from);
    var f = ev.deltaY > 0 ? 1.25 : 0.8;
    var span = Math.max(2, (view.to - view.from) * f);
    var share = (at - view.from) / (view.to - view.from);
    view.from = at - span * share; view.to = view.from + span; draw();
  }, { passive: false });
  canvas.addEventListener('dblclick', function () { view.from = first; view.to = last; draw(); });
  window.addEventListener('resize', draw);

  // Call table: the matching calls as an index list, rows drawn for the visible part only.
  var ROW = 20;
  var box = document.getElementById('table'), rows = document.getElementById('rows');
  var count = document.getElementById('count');
  var fFunction = document.getElementById('f-function'), fThread = document.getElementById('f-thread');
  var fError = document.getElementById('f-error'), fText = document.getElementById('f-text');
  function option(select, value, text) {
    var o = document.createElement('option'); o.value = value; o.textContent = text; select.appendChild(o);
  }
  var used = {};
  calls.forEach(function (c) { used[c[FN]] = true; });
  functions.map(function (name, i) { return [name, i]; })
    .filter(function (p) { return used[p[1]]; })
    .sort(function (a, b) { return a[0] < b[0] ? -1 : a[0] > b[0] ? 1 : 0; })
    .forEach(function (p) { option(fFunction, p[1], p[0]); });
  lanes.forEach(function (lane) { option(fThread, lane.number, lane.number + ' (' + lane.id + ')'); });
  Object.keys(data.errors).forEach(function (code) { option(fError, 'e' + code, data.errors[code]); });

  var matching = [], chosen = -1, raw = document.getElementById('raw');
  function applyFilter(keepScroll) {
    var fn = fFunction.value, th = fThread.value, er = fError.value, text = fText.value.toLowerCase();
    matching = [];
    for (var i = 0; i < calls.length; i++) {
      var c = calls[i];
      // A folded call hides every call made inside it; callers come before their calls.
      hidden[i] = parent[i] >= 0 && (folded[parent[i]] || hidden[parent[i]]);
      if (hidden[i]) continue;
      if (fn !== '' && c[FN] !== +fn) continue;
      if (th !== '' && c[T] !== +th) continue;
      if (er === 'failed' && !c[FAILED]) continue;
      if (er === 'open' && c[END] >= 0) continue;
      if (er.charAt(0) === 'e' && (c[END] < 0 || c[ERR] !== +er.slice(1))) continue;
      if (text && c[PRE].toLowerCase().indexOf(text) < 0 && c[POST].toLowerCase().indexOf(text) < 0 &&
          c[DECODED].toLowerCase().indexOf(text) < 0) continue;
      matching.push(i);
    }
    count.textContent = matching.length + ' of ' + calls.length + ' calls';
    rows.style.height = (matching.length * ROW) + 'px';
    if (keepScroll !== true) box.scrollTop = 0;
    render();
  }
  // The option and argument columns: what follows the function column of a line, which
  // comes after five columns without commas (their addresses 8 or 16 digits wide).
  function tail(line, fn) {
    var at = -2;
    for (var k = 0; k < 5 && at !== -1; k++) at = line.indexOf(', ', at + 2);
    if (at !== -1) at = line.indexOf(', ', at + 2 + fn.length);
    return at !== -1 ? line.slice(at + 2) : '';
  }
  function cell(cls, text) {
    var s = document.createElement('span'); s.className = cls; s.textContent = text; return s;
  }
  function render() {
    var from = Math.floor(box.scrollTop / ROW), to = Math.min(matching.length, from + Math.ceil(box.clientHeight / ROW) + 2);
    rows.textContent = '';
    for (var k = from; k < to; k++) {
      var i = matching[k], c = calls[i], row = document.createElement('div');
      row.className = 'row' + (c[FAILED] ? ' failed' : '') + (c[END] < 0 ? ' open' : '') +
        (i === chosen ? ' chosen' : '');
      row.style.top = (k * ROW) + 'px';
      row.dataset.call = i;
      row.appendChild(cell('n', String(i + 1)));
      row.appendChild(cell('t', String(c[T])));
      row.appendChild(cell('f', functions[c[FN]]));
      row.appendChild(cell('s', timeText(c[START])));
      row.appendChild(cell('d', c[END] >= 0 ? (c[END] - c[START]) + ' ms' : 'open'));
      row.appendChild(cell('r', c[RES]));
      row.appendChild(cell('e', c[END] >= 0 ? data.errors[c[ERR]] : ''));
      var fold = cell(kids[i] ? 'k kids' : 'k', kids[i] ? (folded[i] ? '\u25b8' : '\u25be') : '');
      if (kids[i]) fold.title = folded[i] ? 'show the calls made inside it' : 'fold the calls made inside it';
      row.appendChild(fold);
      // The decoded call, indented by its depth; the columns as written when there is none.
      var line = cell('l', c[DECODED] || tail(c[END] >= 0 ? c[POST] : c[PRE], functions[c[FN]]));
      line.style.paddingLeft = (4 + 14 * c[DEPTH]) + 'px';
      row.appendChild(line);
      row.title = c[PRE] + '\n' + c[POST];
      rows.appendChild(row);
    }
  }
  box.addEventListener('scroll', render);
  // A click on a fold mark folds or unfolds; a click elsewhere on a row shows its raw lines.
  rows.addEventListener('click', function (ev) {
    var row = ev.target.closest('.row');
    if (!row) return;
    var i = +row.dataset.call, c = calls[i];
    if (ev.target.classList.contains('kids')) {
      folded[i] = !folded[i];
      applyFilter(true);
      return;
    }
    chosen = i;
    raw.textContent = c[PRE] + '\n' + (c[END] >= 0 ? c[POST] : '(still in flight at the end of the log)');
    render();
  });
  [fFunction, fThread, fError].forEach(function (s) { s.addEventListener('change', applyFilter); });
  fText.addEventListener('input', applyFilter);

  draw();
  applyFilter();
  // What a test or a user's console can ask of the page.
  window.qelReport = {
    lanes: function () { return lanes.length; },
    bars: function () { draw(); return drawnBars; },
    calls: function () { return calls.length; },
    matching: function () { return matching.length; },
    shownRows: function () { return rows.children.length; },
    raw: function () { return raw.textContent; }
  };
})();
)JS";

}  // namespace qel::report
