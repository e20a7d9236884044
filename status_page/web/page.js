"use strict";
// Glue between /status.json and the page: fetches every 2 s, fills the cards
// and tables, hands the mount samples to uPlot, and shows the banner while
// the daemon does not answer, keeping the last data shown.
(function () {
  const refreshMs = 2000;
  let previous = null;      // the last document, for the copy rates
  let unreachableSince = null;
  const charts = {};        // uPlot by mount point
  window.statusCharts = charts;

  function el(tag, attributes, text) {
    const e = document.createElement(tag);
    for (const k in attributes || {}) e.setAttribute(k, attributes[k]);
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function time(seconds) { return new Date(seconds * 1000).toLocaleString(); }
  function percent(share) { return share === null ? "not measured" : (share * 100).toFixed(1) + " %"; }
  function seconds(value) { return value === null ? "none" : value.toFixed(value < 10 ? 3 : 0) + " s"; }

  function card(storage, rate) {
    const down = storage.state !== "up";
    const c = el("article", {"class": down ? "card down" : "card", "data-storage": storage.id});
    const state = down ? storage.state.toUpperCase() : storage.refilling ? "FILLING A NEW DISK"
      : storage.failed > storage.retried ? "FAILURES" : storage.pending > 0 ? "COPYING" : "OK";
    c.appendChild(el("h3", {}, storage.id + " (" + storage.type + ") "));
    c.firstChild.appendChild(el("span", {"class": "state"}, state));
    if (down)
      c.appendChild(el("p", {"class": "reason"}, storage.stateReason + ", since " + time(storage.stateSince) +
        ": nothing is let go on the strength of its copies"));
    const dl = el("dl");
    const rows = [["Copied", storage.copied], ["Failed", storage.failed], ["Retried", storage.retried],
      ["Verified", storage.verified], ["Pending", storage.pending],
      ["Oldest pending", seconds(storage.oldestPendingSeconds)],
      ["Files/s", rate ? rate.files.toFixed(1) : "-"], ["MB/s", rate ? rate.mb.toFixed(2) : "-"],
      ["Delay p99", storage.delayP99Seconds === null ? "none" : "\u2264 " + seconds(storage.delayP99Seconds)]];
    for (const [name, value] of rows) {
      dl.appendChild(el("dt", {}, name));
      dl.appendChild(el("dd", {"data-field": name}, String(value)));
    }
    c.appendChild(dl);
    return c;
  }

  function rateOf(storage, doc) {
    if (!previous) return null;
    const before = previous.storages.find(s => s.id === storage.id);
    const span = doc.time - previous.time;
    if (!before || span <= 0) return null;
    return {files: (storage.copied - before.copied) / span, mb: (storage.bytes - before.bytes) / span / 1e6};
  }

  function mount(m) {
    let box = document.querySelector('.mount[data-mount="' + CSS.escape(m.mountpoint) + '"]');
    if (!box) {
      box = el("div", {"class": "mount", "data-mount": m.mountpoint});
      box.appendChild(el("h3"));
      box.appendChild(el("p"));
      box.appendChild(el("div", {"class": "chart"}));
      document.getElementById("mounts").appendChild(box);
    }
    const full = m.fullInSeconds === null ? "not filling" : "full in " + Math.round(m.fullInSeconds) + " s";
    const over = m.fill !== null && m.fill >= 0.99 ? "OVER 99 %" : m.fill !== null && m.fill >= m.fillLimit ? "OVER LIMIT" : "OK";
    box.children[0].textContent = m.mountpoint + " ";
    box.children[0].appendChild(el("span", {"class": "state"}, over));
    box.children[1].textContent = "Fill state " + percent(m.fill) + " (limit " + percent(m.fillLimit) +
      "), inodes " + percent(m.inodes) + ", " + full;
    const x = m.samples.map(s => s[0]);
    const data = [x, m.samples.map(s => s[1] === null ? null : s[1] * 100),
      m.samples.map(s => s[2] === null ? null : s[2] * 100), x.map(() => m.fillLimit * 100), x.map(() => 99)];
    let chart = charts[m.mountpoint];
    const width = Math.min(box.clientWidth || 600, 1200);
    if (!chart) {
      chart = new uPlot({
        width: width, height: 200,
        // The last 10 minutes, as far as the daemon's ring of samples goes.
        scales: {x: {time: true, range: (u, min, max) => [max - 600, max]}, y: {range: [0, 100]}},
        series: [{}, {label: "fill %", stroke: "#05c", width: 2},
          {label: "inodes %", stroke: "#090", dash: [6, 3]},
          {label: "limit %", stroke: "#c80", dash: [2, 2]}, {label: "99 %", stroke: "#c00", dash: [8, 4]}],
        axes: [{}, {label: "%"}],
      }, data, box.children[2]);
      charts[m.mountpoint] = chart;
    } else {
      chart.setData(data);
      if (chart.width !== width) chart.setSize({width: width, height: 200});
    }
  }

  function show(doc) {
    document.getElementById("version").textContent = doc.version;
    document.getElementById("updated").textContent = "Data of " + time(doc.time);
    const broker = document.getElementById("broker");
    broker.hidden = !doc.broker;
    if (doc.broker)
      broker.textContent = "Events broker " + doc.broker.address + ": " +
          (doc.broker.connected ? "connected" : "not connected") + ", " + doc.broker.pending + " events pending";
    const cards = document.getElementById("storages");
    cards.replaceChildren(...doc.storages.map(s => card(s, rateOf(s, doc))));
    doc.mounts.forEach(mount);
    const history = document.querySelector("#history tbody");
    const rows = [];
    const shifts = new Map();
    for (const s of doc.storages)
      for (const h of s.history) {
        if (!shifts.has(h.usertime)) shifts.set(h.usertime, []);
        shifts.get(h.usertime).push([s.id, h]);
      }
    for (const t of [...shifts.keys()].sort((a, b) => b - a))
      for (const [id, h] of shifts.get(t)) {
        const tr = el("tr");
        for (const v of [time(t), h.uid, h.gid, id, h.pending, h.copied, h.failed, h.verified, h.verifyFailed])
          tr.appendChild(el("td", {}, String(v)));
        rows.push(tr);
      }
    history.replaceChildren(...rows);
    const messages = document.querySelector("#messages tbody");
    messages.replaceChildren(...doc.messages.map(m => {
      const tr = el("tr", m.error ? {"class": "error"} : {});
      tr.appendChild(el("td", {}, time(m.time)));
      tr.appendChild(el("td", {"class": "state"}, m.error ? "ERROR" : "warning"));
      for (const v of [m.code, m.subject, m.text]) tr.appendChild(el("td", {}, String(v)));
      return tr;
    }));
    previous = doc;
  }

  function unreachable() {
    if (unreachableSince === null) unreachableSince = new Date();
    const banner = document.getElementById("banner");
    banner.textContent = "DAEMON NOT REACHABLE since " + unreachableSince.toLocaleString() +
      ": the data below is the last received.";
    banner.hidden = false;
  }

  async function refresh() {
    try {
      const reply = await fetch("status.json", {cache: "no-store"});
      if (!reply.ok) throw new Error("status " + reply.status);
      const doc = await reply.json();
      unreachableSince = null;
      document.getElementById("banner").hidden = true;
      show(doc);
    } catch (e) {
      unreachable();
    }
    setTimeout(refresh, refreshMs);
  }
  refresh();
})();
