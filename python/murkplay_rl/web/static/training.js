// Training: the run's learning curve and latest scores, read again every few seconds while
// the screen is on show, so the curve grows as the run writes it.
import { api, showError } from "./api.js";

const POLL_MS = 3000;
const COLOURS = ["#2f6fb3", "#d0542c", "#3c9a4c", "#8e4fb3", "#b38a2f", "#4f9fb3"];
const SVG = "http://www.w3.org/2000/svg";
const WIDTH = 720, HEIGHT = 360, LEFT = 56, RIGHT = 150, TOP = 20, BOTTOM = 44;

export function startTraining(config) {
  const $ = (id) => document.getElementById(id);
  let timer = null;
  $("training-title").textContent = `Run ${config.run}`;

  async function poll() {
    try {
      const status = await api("/api/training");
      drawChart($("training-chart"), status.evaluations);
      drawLatest($("training-latest"), status.latest);
      const update = status.update;
      $("training-update").textContent = update ? `Latest update: ${update.updates.toLocaleString()} updates, ` +
        `${update.samples.toLocaleString()} samples in ${(update.seconds / 60).toFixed(1)} minutes, ` +
        `${Math.round(update.samples_per_second).toLocaleString()} samples/s.` : "No update logged yet.";
      showError($("training-error"), null);
    } catch (error) {
      showError($("training-error"), error);
    }
  }

  return {
    active(on) {
      clearInterval(timer);
      timer = null;
      if (on) {
        poll();
        timer = setInterval(poll, POLL_MS);
      }
    },
  };
}

function element(name, attributes, text) {
  const node = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, value);
  if (text !== undefined) node.textContent = text;
  return node;
}

function drawChart(svg, rows) {
  const opponents = [...new Set(rows.map((row) => row.opponent))];
  const minutes = rows.map((row) => row.seconds / 60);
  const last = Math.max(1, ...minutes);
  const x = (m) => LEFT + (WIDTH - LEFT - RIGHT) * (m / last);
  const y = (score) => TOP + (HEIGHT - TOP - BOTTOM) * (1 - score);
  const parts = [];
  for (let score = 0; score <= 1.0001; score += 0.25) {
    parts.push(element("line", { x1: LEFT, x2: WIDTH - RIGHT, y1: y(score), y2: y(score), class: "grid" }));
    parts.push(element("text", { x: LEFT - 8, y: y(score) + 4, "text-anchor": "end" }, score.toFixed(2)));
  }
  const step = tickStep(last);
  for (let m = 0; m <= last + 1e-9; m += step) {
    parts.push(element("text", { x: x(m), y: HEIGHT - BOTTOM + 18, "text-anchor": "middle" }, String(+m.toFixed(2))));
  }
  parts.push(element("line", { x1: LEFT, x2: LEFT, y1: TOP, y2: HEIGHT - BOTTOM, class: "axis" }));
  parts.push(element("line", { x1: LEFT, x2: WIDTH - RIGHT, y1: HEIGHT - BOTTOM, y2: HEIGHT - BOTTOM, class: "axis" }));
  parts.push(element("text", { x: (LEFT + WIDTH - RIGHT) / 2, y: HEIGHT - 8, "text-anchor": "middle" }, "training minutes"));
  parts.push(element("text", { x: 14, y: (TOP + HEIGHT - BOTTOM) / 2, "text-anchor": "middle",
    transform: `rotate(-90 14 ${(TOP + HEIGHT - BOTTOM) / 2})` }, "score"));
  opponents.forEach((opponent, index) => {
    const colour = COLOURS[index % COLOURS.length];
    const mine = rows.filter((row) => row.opponent === opponent);
    const band = mine.map((row) => `${x(row.seconds / 60)},${y(row.high)}`)
      .concat(mine.slice().reverse().map((row) => `${x(row.seconds / 60)},${y(row.low)}`));
    parts.push(element("polygon", { points: band.join(" "), fill: colour, "fill-opacity": 0.15, stroke: "none" }));
    parts.push(element("polyline", { points: mine.map((row) => `${x(row.seconds / 60)},${y(row.score)}`).join(" "),
      fill: "none", stroke: colour, "stroke-width": 2, "data-opponent": opponent }));
    for (const row of mine) {
      parts.push(element("circle", { cx: x(row.seconds / 60), cy: y(row.score), r: 2.5, fill: colour }));
    }
    const legend = TOP + 10 + 20 * index;
    parts.push(element("line", { x1: WIDTH - RIGHT + 14, x2: WIDTH - RIGHT + 34, y1: legend, y2: legend, stroke: colour,
      "stroke-width": 3 }));
    parts.push(element("text", { x: WIDTH - RIGHT + 40, y: legend + 4 }, `against ${opponent}`));
  });
  if (!rows.length) {
    parts.push(element("text", { x: (LEFT + WIDTH - RIGHT) / 2, y: HEIGHT / 2, "text-anchor": "middle" },
      "no evaluation written yet"));
  }
  svg.replaceChildren(...parts);
  svg.dataset.rows = rows.length;
}

// A step of 1, 2 or 5 times a power of ten that puts at most six ticks on the axis.
function tickStep(last) {
  const power = 10 ** Math.floor(Math.log10(last / 5));
  return [1, 2, 5, 10].map((factor) => factor * power).find((step) => last / step <= 6);
}

function drawLatest(table, latest) {
  const head = document.createElement("tr");
  for (const title of ["against", "score", "95 % interval", "games", "minutes", "samples"]) {
    const cell = document.createElement("th");
    cell.textContent = title;
    head.append(cell);
  }
  const rows = latest.map((row) => {
    const line = document.createElement("tr");
    const values = [row.opponent, row.score.toFixed(3), `${row.low.toFixed(3)} .. ${row.high.toFixed(3)}`,
      row.games.toLocaleString(), (row.seconds / 60).toFixed(1), row.samples.toLocaleString()];
    for (const value of values) {
      const cell = document.createElement("td");
      cell.textContent = value;
      line.append(cell);
    }
    return line;
  });
  table.replaceChildren(head, ...rows);
}
