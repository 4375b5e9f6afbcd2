// The panel's page: figures from one WebSocket at about 30 Hz, requests back over it. Every
// value is checked by the server with the tamro effect classes; the page only hints (slider
// ranges) and shows what the server says.
"use strict";

const token = new URLSearchParams(location.search).get("token") || "";
const $ = (id) => document.getElementById(id);

// Slider ranges by parameter name: hints only, the number fields take any value.
const RANGES = {
  anchor: [-0.1, 0.1, 0.001, "m"], point: [-0.1, 0.1, 0.001, "m"], center: [-0.1, 0.1, 0.001, "m"],
  lower: [-0.1, 0.1, 0.001, "m"], upper: [-0.1, 0.1, 0.001, "m"], normal: [-1, 1, 0.01, ""],
  force: [-5, 5, 0.05, "N"], stiffness: [0, 5000, 10, "N/m"], damping: [0, 50, 0.1, "N s/m"],
  radius: [0, 0.1, 0.001, "m"],
};
const AXES = ["x", "y", "z"];
const VIEW_HALF = 0.12; // metres from the centre to a view's edge
const FORCE_SCALE = 0.02; // metres drawn per newton
const TRACE_LENGTH = 90; // updates: three seconds

let socket = null;
let hello = null;
let last = null;
let trace = [];
let lastEdited = null;
let messageTimer = null;
const cards = new Map(); // effect id -> {element, controls: Map(name -> control)}

// --- connection ------------------------------------------------------------------------------

function connect() {
  socket = new WebSocket(`ws://${location.host}/ws?token=${encodeURIComponent(token)}`);
  socket.onopen = () => setBadge($("connection"), "connected", "ok");
  socket.onclose = () => {
    setBadge($("connection"), "disconnected: is tamro-panel still running?", "bad");
    setTimeout(connect, 2000);
  };
  socket.onmessage = (event) => {
    const message = JSON.parse(event.data);
    if (message.type === "hello") showHello(message);
    else if (message.type === "update") showUpdate(message);
    else if (message.type === "refused") refused(message.message);
    else if (message.type === "error") say(message.message);
    else if (message.type === "done" && lastEdited) lastEdited.classList.remove("invalid");
  };
}

function send(request) {
  if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(request));
}

function setBadge(element, text, kind) {
  element.textContent = text;
  element.className = "badge " + (kind || "");
}

function say(text) {
  const box = $("message");
  box.textContent = text;
  box.hidden = false;
  clearTimeout(messageTimer);
  messageTimer = setTimeout(() => { box.hidden = true; }, 8000);
}

function refused(text) {
  say(text);
  if (lastEdited) lastEdited.classList.add("invalid");
}

// --- once: identities, problems, the kinds of effects ------------------------------------------

function showHello(message) {
  hello = message;
  const identity = $("identity");
  identity.replaceChildren();
  const row = (name, value) => {
    const dt = document.createElement("dt"); dt.textContent = name;
    const dd = document.createElement("dd"); dd.textContent = value;
    identity.append(dt, dd);
  };
  if (message.arm) {
    const a = message.arm;
    row("arm", `${a.port}${message.simulated ? " (simulator)" : ""}`);
    row("", `device id ${a.device_id}, model ${a.model}, hardware ${a.hardware}, firmware ${a.firmware}`);
    row("", `uuid ${a.uuid}`);
  }
  if (message.handle) {
    const h = message.handle;
    row("handle", `${h.port}${message.simulated ? " (simulator)" : ""}`);
    row("", `device id ${h.device_id}, model ${h.device_model_number}, hardware ${h.hardware_version}, ` +
      `firmware ${h.firmware_version}, tool data remaining ${h.tool_data_remaining}`);
  }
  const problems = $("problems");
  problems.replaceChildren();
  for (const [device, problem] of Object.entries(message.problems)) {
    const p = document.createElement("p");
    p.className = "problem";
    p.textContent = `The ${device} is not usable: ${problem}`;
    problems.append(p);
  }
  if (!message.arm && !message.problems.arm) row("arm", "none");
  if (!message.handle && !message.problems.handle) row("handle", "none");
  if (message.findings) {
    const p = document.createElement("p");
    p.textContent = "What tamro-doctor found:";
    const pre = document.createElement("pre");
    pre.textContent = message.findings;
    problems.append(p, pre);
  }
  const add = $("add");
  add.replaceChildren();
  for (const kind of Object.keys(message.kinds)) {
    const button = document.createElement("button");
    button.type = "button";
    button.dataset.kind = kind;
    button.textContent = `+ ${kind}`;
    button.disabled = !message.arm;
    button.onclick = () => send({ op: "add", kind });
    add.append(button);
  }
  $("arm-target").textContent = message.arm
    ? (message.arm.rate_hz ? `(aiming at ${message.arm.rate_hz})` : "(free-running)") : "";
  for (const button of ["start", "stop", "record"]) $(button).disabled = !message.arm;
  if (document.activeElement !== $("device-damping")) $("device-damping").value = message.default_device_damping;
}

// --- 30 times a second ---------------------------------------------------------------------------

const fixed = (v, digits) => (v === null || v === undefined ? "–" : Number(v).toFixed(digits));
const vector = (v, digits) => (v ? `(${v.map((x) => fixed(x, digits)).join(", ")})` : "–");

function showUpdate(message) {
  last = message;
  const arm = message.arm;
  if (arm) {
    const s = arm.stats;
    if (arm.fault) setBadge($("loop-state"), `fault: ${arm.fault}`, "bad");
    else setBadge($("loop-state"), arm.running ? "loop running" : "loop stopped", arm.running ? "ok" : "");
    $("arm-rate").textContent = arm.running ? fixed(s.rate_hz, 0) : "0 (stopped)";
    $("period").textContent = `${fixed(s.period_p50_us, 0)} / ${fixed(s.period_p99_us, 0)} / ${fixed(s.period_max_us, 0)}`;
    $("late").textContent = s.late_cycles;
    $("late-run").textContent = s.longest_late_run;
    $("exchange").textContent = `${fixed(s.exchange_p50_us, 0)} / ${fixed(s.exchange_p99_us, 0)}`;
    $("counters").textContent = `${s.failed_exchanges} · ${s.clamped_forces} · ${s.non_finite_forces}`;
    if (arm.state) {
      $("position").textContent = vector(arm.state.position, 4);
      $("force").textContent = vector(arm.state.force, 2);
      trace.push(arm.state.position);
      if (trace.length > TRACE_LENGTH) trace.shift();
    }
    if (document.activeElement !== $("device-damping")) $("device-damping").value = arm.device_damping;
    showEffects(arm.effects, arm.timing);
    showRecording(arm.recording);
    drawHistogram(arm.histogram, hello && hello.arm ? hello.arm.rate_hz : null);
  }
  drawView($("top"), 0, 1, 2);
  drawView($("side"), 0, 2, 1);
  const handle = message.handle;
  if (handle) {
    $("handle-rate").textContent = handle.fault ? `fault: ${handle.fault}` : fixed(handle.stats.rate_hz, 0);
    if (handle.status) {
      $("hall").textContent = handle.status.hall;
      $("hall-meter").value = handle.status.hall;
      $("quaternion").textContent = vector(handle.status.quaternion, 3);
      drawOrientation(handle.status.quaternion);
    }
  }
}

function showRecording(recording) {
  $("record").textContent = recording.on ? "Stop recording" : "Record";
  const dropped = recording.dropped ? `, ${recording.dropped} dropped` : "";
  $("recorded").textContent = `${recording.on ? "recording: " : ""}${recording.rows} cycles${dropped}` +
    (recording.note ? ` (${recording.note})` : "");
}

// --- effect controls ------------------------------------------------------------------------------

function showEffects(effects, timing) {
  const seen = new Set();
  for (const effect of effects) {
    seen.add(effect.id);
    if (!cards.has(effect.id)) cards.set(effect.id, makeCard(effect));
    const card = cards.get(effect.id);
    for (const [name, control] of card.controls) control.show(effect.values[name], effect.bounds[name], timing);
  }
  for (const [id, card] of cards) {
    if (!seen.has(id)) { card.element.remove(); cards.delete(id); }
  }
}

function makeCard(effect) {
  const element = document.createElement("div");
  element.className = "effect";
  element.dataset.id = effect.id;
  element.dataset.kind = effect.kind;
  const title = document.createElement("h3");
  title.textContent = `${effect.kind} #${effect.id}`;
  const remove = document.createElement("button");
  remove.type = "button";
  remove.textContent = "remove";
  remove.className = "remove";
  remove.onclick = () => send({ op: "remove", id: effect.id });
  title.append(remove);
  element.append(title);
  const controls = new Map();
  for (const [name, value] of Object.entries(effect.values)) {
    const control = Array.isArray(value) ? vectorControl(effect.id, name)
      : typeof value === "boolean" ? switchControl(effect.id, name) : numberControl(effect.id, name);
    element.append(...control.rows);
    controls.set(name, control);
  }
  $("effect-list").append(element);
  return { element, controls };
}

// A slider and a number field for one number; `sendValue` gets what the user chose.
function slider(label, name, sendValue) {
  const [min, max, step, unit] = RANGES[name] || [-1, 1, 0.01, ""];
  const row = document.createElement("div");
  row.className = "parameter";
  row.dataset.name = name;
  const caption = document.createElement("span");
  caption.className = "name";
  caption.textContent = unit ? `${label} (${unit})` : label;
  const range = document.createElement("input");
  Object.assign(range, { type: "range", min, max, step });
  range.dataset.name = name;
  const field = document.createElement("input");
  Object.assign(field, { type: "number", step });
  field.dataset.name = name;
  range.addEventListener("input", () => {
    field.value = range.value;
    lastEdited = field;
    sendValue(Number(range.value));
  });
  field.addEventListener("change", () => {
    lastEdited = field;
    // What is not a number goes as typed: the server's message then names the parameter.
    const number = field.value.trim() === "" ? NaN : Number(field.value);
    sendValue(Number.isFinite(number) ? number : field.value);
  });
  row.append(caption, range, field);
  const busy = () => document.activeElement === field || document.activeElement === range && range.matches(":active");
  const show = (value) => {
    if (busy()) return;
    field.value = value === null ? "" : value;
    range.value = value === null ? 0 : value;
  };
  return { row, range, field, show };
}

function numberControl(id, name) {
  const part = slider(name, name, (value) => send({ op: "set", id, name, value }));
  const bound = document.createElement("span");
  bound.className = "bound";
  const rows = [part.row];
  if (name === "stiffness" || name === "damping") part.row.append(bound);
  return {
    rows,
    show(value, limit, timing) {
      part.show(value);
      if (!limit || !timing) { bound.textContent = ""; part.row.classList.remove("over"); return; }
      const delay = `T ${fixed(timing.period_us / 1000, 2)} ms, state age ${fixed(timing.age_us / 1000, 2)} ms` +
        (timing.measured ? " (measured, last second)" : " (nominal)") +
        (timing.compensated ? ", compensated" : ", not compensated");
      const outside = limit.outside;
      bound.textContent = name === "stiffness"
        ? `${outside ? "above" : "within"} the bound: K ≤ ${limit.most.toFixed(0)} N/m beside this damping; ${delay}`
        : `${outside ? "below" : "within"} the bound: B ≥ ${limit.least.toFixed(2)} N s/m beside this stiffness`;
      part.row.classList.toggle("over", outside);
    },
  };
}

function vectorControl(id, name) {
  let current = [0, 0, 0];
  const parts = AXES.map((axis, index) => slider(`${name} ${axis}`, name, (value) => {
    const chosen = current.slice();
    chosen[index] = value;
    send({ op: "set", id, name, value: chosen });
  }));
  return {
    rows: parts.map((p) => p.row),
    show(value) {
      current = value;
      parts.forEach((p, index) => p.show(value[index]));
    },
  };
}

function switchControl(id, name) {
  const row = document.createElement("div");
  row.className = "parameter";
  const label = document.createElement("label");
  const box = document.createElement("input");
  box.type = "checkbox";
  box.dataset.name = name;
  box.addEventListener("change", () => { lastEdited = box; send({ op: "set", id, name, value: box.checked }); });
  label.append(box, ` ${name}`);
  row.append(label);
  return { rows: [row], show(value) { box.checked = value; } };
}

// --- drawing -------------------------------------------------------------------------------------

function arrow(g, x0, y0, x1, y1) {
  const angle = Math.atan2(y1 - y0, x1 - x0);
  g.beginPath(); g.moveTo(x0, y0); g.lineTo(x1, y1); g.stroke();
  if (Math.hypot(x1 - x0, y1 - y0) < 3) return;
  g.beginPath();
  g.moveTo(x1, y1);
  g.lineTo(x1 - 8 * Math.cos(angle - 0.4), y1 - 8 * Math.sin(angle - 0.4));
  g.lineTo(x1 - 8 * Math.cos(angle + 0.4), y1 - 8 * Math.sin(angle + 0.4));
  g.closePath(); g.fill();
}

// One view of the workspace: axis u to the right, v up, w towards the viewer.
function drawView(canvas, u, v, w) {
  const g = canvas.getContext("2d");
  const size = canvas.width;
  const scale = size / (2 * VIEW_HALF);
  const X = (p) => size / 2 + p[u] * scale;
  const Y = (p) => size / 2 - p[v] * scale;
  g.clearRect(0, 0, size, size);
  g.strokeStyle = "#98a2b3"; g.setLineDash([4, 4]); g.lineWidth = 1;
  g.strokeRect(size / 2 - 0.1 * scale, size / 2 - 0.1 * scale, 0.2 * scale, 0.2 * scale);
  g.setLineDash([]);
  g.fillStyle = "#98a2b3"; g.font = "11px sans-serif";
  g.fillText(AXES[u] + " →", size - 32, size - 6);
  g.fillText(AXES[v] + " ↑", 6, 14);
  const arm = last && last.arm;
  const here = arm && arm.state ? arm.state.position : [0, 0, 0];
  if (arm) for (const effect of arm.effects) drawEffect(g, effect, here, u, v, w, X, Y, scale, size);
  g.strokeStyle = "#1f6feb"; g.lineWidth = 1.5; g.beginPath();
  trace.forEach((p, i) => (i ? g.lineTo(X(p), Y(p)) : g.moveTo(X(p), Y(p))));
  g.stroke();
  if (arm && arm.state) {
    g.fillStyle = "#1d2430"; g.beginPath(); g.arc(X(here), Y(here), 5, 0, 2 * Math.PI); g.fill();
    const f = arm.state.force;
    const tip = [here[0] + f[0] * FORCE_SCALE, here[1] + f[1] * FORCE_SCALE, here[2] + f[2] * FORCE_SCALE];
    g.strokeStyle = g.fillStyle = "#c62828"; g.lineWidth = 2;
    arrow(g, X(here), Y(here), X(tip), Y(tip));
  }
}

function drawEffect(g, effect, here, u, v, w, X, Y, scale, size) {
  const p = effect.values;
  g.lineWidth = 1.5;
  g.strokeStyle = "#7a5af8"; g.fillStyle = "rgba(122, 90, 248, 0.12)";
  if (effect.kind === "spring") {
    g.setLineDash([3, 3]); g.beginPath(); g.moveTo(X(p.anchor), Y(p.anchor)); g.lineTo(X(here), Y(here)); g.stroke();
    g.setLineDash([]); g.beginPath(); g.arc(X(p.anchor), Y(p.anchor), 4, 0, 2 * Math.PI); g.stroke();
  } else if (effect.kind === "sphere") {
    g.beginPath(); g.arc(X(p.center), Y(p.center), p.radius * scale, 0, 2 * Math.PI);
    if (!p.inside) g.fill();
    g.stroke();
  } else if (effect.kind === "box") {
    const x0 = X(p.lower), x1 = X(p.upper), y0 = Y(p.upper), y1 = Y(p.lower);
    if (!p.inside) g.fillRect(x0, y0, x1 - x0, y1 - y0);
    g.strokeRect(x0, y0, x1 - x0, y1 - y0);
  } else if (effect.kind === "plane") {
    // Where the wall crosses this view's plane through the end effector; the solid side shaded.
    const n = p.normal, length = Math.hypot(n[u], n[v]);
    const offset = n[0] * p.point[0] + n[1] * p.point[1] + n[2] * p.point[2] - n[w] * here[w];
    if (length < 1e-9) {
      if (offset > 0) g.fillRect(0, 0, size, size); // parallel to the view, end effector inside
      return;
    }
    const nu = n[u] / length, nv = n[v] / length, d = offset / length;
    const far = 2 * VIEW_HALF;
    const base = [d * nu, d * nv];
    const a = [base[0] - nv * far, base[1] + nu * far], b = [base[0] + nv * far, base[1] - nu * far];
    const at = (q) => { const r = [0, 0, 0]; r[u] = q[0]; r[v] = q[1]; return r; };
    const corners = [a, b, [b[0] - nu * far, b[1] - nv * far], [a[0] - nu * far, a[1] - nv * far]].map(at);
    g.beginPath(); corners.forEach((c, i) => (i ? g.lineTo(X(c), Y(c)) : g.moveTo(X(c), Y(c)))); g.closePath(); g.fill();
    g.beginPath(); g.moveTo(X(corners[0]), Y(corners[0])); g.lineTo(X(corners[1]), Y(corners[1])); g.stroke();
  } else if (effect.kind === "mesh" && effect.outline) {
    // Its outline seen along this view's third axis, as the server found it for the pose.
    const lines = effect.outline[AXES[u] + AXES[v]] || [];
    g.beginPath();
    for (const [a0, b0, a1, b1] of lines) {
      g.moveTo(size / 2 + a0 * scale, size / 2 - b0 * scale);
      g.lineTo(size / 2 + a1 * scale, size / 2 - b1 * scale);
    }
    g.stroke();
    if (effect.proxy) {
      // The proxy the surface holds back, and the spring from it to the end effector.
      const q = effect.proxy;
      g.setLineDash([3, 3]); g.beginPath(); g.moveTo(X(q), Y(q)); g.lineTo(X(here), Y(here)); g.stroke();
      g.setLineDash([]); g.beginPath(); g.arc(X(q), Y(q), 5, 0, 2 * Math.PI); g.fill(); g.stroke();
    }
  } else if (effect.kind === "constant force") {
    const f = p.force;
    const tip = [here[0] + f[0] * FORCE_SCALE, here[1] + f[1] * FORCE_SCALE, here[2] + f[2] * FORCE_SCALE];
    g.fillStyle = "#7a5af8"; arrow(g, X(here), Y(here), X(tip), Y(tip));
  }
}

function drawHistogram(histogram, target) {
  const canvas = $("histogram"), g = canvas.getContext("2d");
  const w = canvas.width, h = canvas.height;
  g.clearRect(0, 0, w, h);
  const counts = histogram.counts;
  if (!counts.length) return;
  const top = Math.max(...counts, 1);
  const bar = w / counts.length;
  g.fillStyle = "#1f6feb";
  counts.forEach((c, i) => {
    const height = c ? Math.max(1, (c / top) * (h - 18)) : 0;
    g.fillRect(i * bar + 1, h - 14 - height, bar - 2, height);
  });
  const edges = histogram.edges_us, span = edges[edges.length - 1];
  g.fillStyle = "#667085"; g.font = "10px sans-serif";
  g.fillText("0", 2, h - 2);
  g.fillText(`≥ ${span.toFixed(0)} µs`, w - 60, h - 2);
  if (target) {
    const x = ((1e6 / target) / span) * w;
    g.strokeStyle = "#c62828"; g.beginPath(); g.moveTo(x, 0); g.lineTo(x, h - 14); g.stroke();
    g.fillText(`${(1e6 / target).toFixed(0)} µs`, x + 3, 10);
  }
}

// The handle as a box turned by its quaternion (w first, as the handle sends it).
function drawOrientation(q) {
  const canvas = $("orientation"), g = canvas.getContext("2d");
  const w = canvas.width, h = canvas.height;
  g.clearRect(0, 0, w, h);
  let [qw, qx, qy, qz] = q;
  const norm = Math.hypot(qw, qx, qy, qz) || 1;
  qw /= norm; qx /= norm; qy /= norm; qz /= norm;
  const turn = ([x, y, z]) => [
    (1 - 2 * (qy * qy + qz * qz)) * x + 2 * (qx * qy - qw * qz) * y + 2 * (qx * qz + qw * qy) * z,
    2 * (qx * qy + qw * qz) * x + (1 - 2 * (qx * qx + qz * qz)) * y + 2 * (qy * qz - qw * qx) * z,
    2 * (qx * qz - qw * qy) * x + 2 * (qy * qz + qw * qx) * y + (1 - 2 * (qx * qx + qy * qy)) * z,
  ];
  // A fixed camera a little above and to the side, so all three axes show.
  const view = ([x, y, z]) => [w / 2 + 40 * (x * 0.87 - y * 0.5), h / 2 - 40 * (z * 0.9 - (x * 0.25 + y * 0.43))];
  const size = [1.4, 0.5, 0.3];
  const corners = [];
  for (const sx of [-1, 1]) for (const sy of [-1, 1]) for (const sz of [-1, 1]) {
    corners.push(view(turn([sx * size[0], sy * size[1], sz * size[2]])));
  }
  g.strokeStyle = "#1d2430"; g.lineWidth = 1.5;
  for (let a = 0; a < 8; a++) for (let b = a + 1; b < 8; b++) {
    const differ = (a ^ b);
    if (differ === 1 || differ === 2 || differ === 4) {
      g.beginPath(); g.moveTo(...corners[a]); g.lineTo(...corners[b]); g.stroke();
    }
  }
  const tip = view(turn([size[0] + 0.4, 0, 0]));
  g.strokeStyle = g.fillStyle = "#c62828";
  arrow(g, ...view(turn([size[0], 0, 0])), ...tip);
}

// --- buttons and keys ------------------------------------------------------------------------------

$("stop").onclick = () => send({ op: "stop" });
$("start").onclick = () => send({ op: "start" });
$("record").onclick = () => send({ op: "record", on: !(last && last.arm && last.arm.recording.on) });
$("device-damping").addEventListener("change", (event) => {
  lastEdited = event.target;
  const value = Number(event.target.value);
  send({ op: "device damping", value: Number.isFinite(value) && event.target.value !== "" ? value : event.target.value });
});
document.addEventListener("keydown", (event) => {
  // The space bar stops the arm from anywhere on the page, whatever has the focus.
  if (event.code === "Space" || event.key === " ") {
    event.preventDefault();
    if (!event.repeat) send({ op: "stop" });
  }
});
$("download-npz").href = `recording.npz?token=${encodeURIComponent(token)}`;
$("download-csv").href = `recording.csv?token=${encodeURIComponent(token)}`;
$("download-mcap").href = `recording.mcap?token=${encodeURIComponent(token)}`;
connect();
