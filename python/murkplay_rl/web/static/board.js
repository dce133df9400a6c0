// Draws a board: squares a1 first as the server lists them, each {piece, fog, age}, with a
// belief's heat map over it when one is given.

const GLYPHS = { k: "♚", q: "♛", r: "♜", b: "♝", n: "♞", p: "♟" };
const KIND_NAMES = ["pawn", "knight", "bishop", "rook", "queen", "king"];
const FILES = "abcdefgh";

export function squareName(index) {
  return FILES[index % 8] + String(Math.floor(index / 8) + 1);
}

export function squareIndex(name) {
  return FILES.indexOf(name[0]) + 8 * (Number(name[1]) - 1);
}

// Remembered pieces fade with the number of the viewer's turns since they were seen.
function memoryOpacity(age) {
  return Math.max(0.18, 0.7 - 0.08 * age);
}

// What a heat map square says on hover.
export function beliefText(belief, index) {
  const share = belief.opponent[index];
  const kinds = belief.kinds[index]
    .map((p, kind) => [p, KIND_NAMES[kind]])
    .filter(([p]) => p > 0)
    .sort((a, b) => b[0] - a[0])
    .map(([p, name]) => `${name} ${percent(p)}`);
  const opponent = belief.side === "white" ? "Black" : "White";
  return `${squareName(index)}: a ${opponent} piece in ${percent(share)} of the positions` +
    (kinds.length ? ` (${kinds.join(", ")})` : "");
}

export function beliefSummary(belief) {
  const whose = belief.side === "white" ? "White" : "Black";
  let size;
  if (belief.exact) {
    size = `${belief.kept.toLocaleString()} position${belief.kept === 1 ? "" : "s"}, exactly`;
  } else {
    const error = belief.size_error === null ? "" : ` ± ${percent(belief.size_error)}`;
    size = `about ${Math.round(belief.size).toLocaleString()} positions${error} (${belief.kept.toLocaleString()} sampled)`;
  }
  const regenerated = belief.regenerated ? "; regenerated, since no kept position explained the view" : "";
  return `${whose}'s belief: ${size}${regenerated}.`;
}

function percent(p) {
  return p >= 0.995 || p === 0 ? `${Math.round(p * 100)} %` : `${(p * 100).toFixed(p < 0.1 ? 1 : 0)} %`;
}

// options: flip (Black at the bottom), belief, last (UCI move to outline), movable (set of
// square names), selected, targets (set of square names), onClick(name), onHover(text).
export function drawBoard(element, squares, options = {}) {
  // On a side's own view the belief is news only under the fog: what it sees it knows.
  const heatOnFog = squares.some((square) => square.fog);
  const cells = [];
  for (let row = 0; row < 8; row++) {
    for (let column = 0; column < 8; column++) {
      const rank = options.flip ? row : 7 - row;
      const file = options.flip ? 7 - column : column;
      cells.push(drawSquare(8 * rank + file, squares, options, heatOnFog, row === 7, column === 0));
    }
  }
  element.replaceChildren(...cells);
}

function drawSquare(index, squares, options, heatOnFog, bottomRow, leftColumn) {
  const square = squares[index];
  const name = squareName(index);
  const cell = document.createElement("div");
  const light = (index % 8 + Math.floor(index / 8)) % 2 === 1;
  cell.className = `square ${light ? "light" : "dark"}`;
  cell.dataset.square = name;
  if (square.fog) {
    cell.classList.add("fog");
    if (square.piece === null && (square.age === null || square.age >= 100)) cell.classList.add("unseen");
  }
  if (options.last && (options.last.slice(0, 2) === name || options.last.slice(2, 4) === name)) {
    cell.classList.add("last");
  }
  if (options.selected === name) cell.classList.add("selected");
  if (options.targets && options.targets.has(name)) cell.classList.add("target");
  if (options.movable && (options.movable.has(name) || (options.targets && options.targets.has(name)))) {
    cell.classList.add("movable");
  }
  if (square.piece) {
    const piece = document.createElement("span");
    const white = square.piece === square.piece.toUpperCase();
    piece.className = `piece ${white ? "white" : "black"}`;
    piece.textContent = GLYPHS[square.piece.toLowerCase()];
    cell.dataset.piece = square.piece;
    if (square.fog) {
      cell.classList.add("remembered");
      piece.style.opacity = memoryOpacity(square.age ?? 0);
      const age = document.createElement("span");
      age.className = "age";
      age.textContent = square.age;
      cell.append(age);
    }
    cell.append(piece);
  }
  for (const [shown, text, where] of [[leftColumn, name[1], "rank"], [bottomRow, name[0], "file"]]) {
    if (!shown) continue;
    const label = document.createElement("span");
    label.className = `coordinate ${where}`;
    label.textContent = text;
    cell.append(label);
  }
  if (options.belief) {
    const share = options.belief.opponent[index];
    if (share > 0 && (square.fog || !heatOnFog)) {
      const heat = document.createElement("div");
      heat.className = "heat";
      heat.style.backgroundColor = `rgba(220, 40, 30, ${(0.12 + 0.7 * share).toFixed(3)})`;
      const value = document.createElement("span");
      value.className = "heat-value";
      value.textContent = Math.round(share * 100);
      cell.append(heat, value);
    }
    cell.dataset.belief = share.toFixed(4);
  }
  const text = options.belief ? beliefText(options.belief, index) : describe(name, square);
  cell.title = text;
  if (options.onHover) cell.addEventListener("mouseenter", () => options.onHover(text));
  if (options.onClick) cell.addEventListener("click", () => options.onClick(name));
  return cell;
}

function describe(name, square) {
  if (!square.fog) return square.piece ? `${name}: ${pieceName(square.piece)}` : `${name}: empty`;
  if (square.piece) {
    const turns = square.age === 1 ? "1 turn" : `${square.age} turns`;
    return `${name}: fog; ${pieceName(square.piece)} seen here ${turns} ago`;
  }
  return `${name}: fog`;
}

function pieceName(symbol) {
  const colour = symbol === symbol.toUpperCase() ? "White" : "Black";
  return `${colour} ${KIND_NAMES["pnbrqk".indexOf(symbol.toLowerCase())]}`;
}
