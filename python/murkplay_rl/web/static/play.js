// Play: a game against an agent, seen from your side only. The server keeps the game; this
// page shows what it answers and sends the moves you click.
import { api, showError } from "./api.js";
import { beliefSummary, drawBoard } from "./board.js";

export function startPlay(config) {
  const $ = (id) => document.getElementById(id);
  const board = $("play-board");
  const promotion = $("promotion");
  const showTrue = $("play-true");
  let game = null; // the server's latest state of this tab's game
  let selected = null; // the square of the piece about to move
  let waiting = false; // a request is on its way
  let choices = []; // the promotion moves offered for the last click

  for (const name of config.agents) $("agent").append(new Option(name, name));
  $("agent").value = config.agents.includes("random") ? "random" : config.agents[0];

  $("new-game").addEventListener("submit", (event) => {
    event.preventDefault();
    newGame();
  });
  $("play-belief").addEventListener("change", render);
  showTrue.addEventListener("change", render);
  for (const button of promotion.querySelectorAll("button")) {
    button.addEventListener("click", () => {
      const move = choices.find((uci) => uci[4] === button.dataset.piece);
      if (move) send(move);
    });
  }
  // A closed tab frees its place on the server at once instead of when it expires.
  window.addEventListener("pagehide", () => {
    if (game) fetch(`/api/play/${game.id}`, { method: "DELETE", keepalive: true });
  });

  async function newGame() {
    const previous = game;
    const fen = $("fen").value.trim();
    await request(async () => {
      game = await api("/api/play", {
        method: "POST",
        body: { agent: $("agent").value, color: $("color").value, ...(fen ? { fen } : {}) },
      });
      showTrue.checked = false;
      if (previous) api(`/api/play/${previous.id}`, { method: "DELETE" }).catch(() => {});
    });
  }

  async function send(move) {
    await request(async () => {
      game = await api(`/api/play/${game.id}/move`, { method: "POST", body: { move } });
      if (game.over) showTrue.checked = true;
    });
  }

  async function request(call) {
    waiting = true;
    selected = null;
    choices = [];
    render();
    try {
      await call();
      showError($("play-error"), null);
    } catch (error) {
      showError($("play-error"), error);
    } finally {
      waiting = false;
      render();
    }
  }

  function click(name) {
    if (waiting || !game) return;
    const legal = game.legal;
    if (selected) {
      const moves = legal.filter((uci) => uci.startsWith(selected + name));
      if (moves.length === 1) return send(moves[0]);
      if (moves.length > 1) {
        choices = moves;
        return render();
      }
    }
    selected = legal.some((uci) => uci.startsWith(name)) && selected !== name ? name : null;
    choices = [];
    render();
  }

  function render() {
    $("new-game-button").disabled = waiting;
    promotion.hidden = choices.length === 0;
    if (!game) {
      $("play-status").textContent = waiting ? "Starting a game…" : "";
      return;
    }
    const over = game.over;
    const mine = game.legal.length > 0;
    const trueBoard = over && showTrue.checked;
    const belief = $("play-belief").checked ? game.belief : null;
    const movable = new Set(game.legal.map((uci) => uci.slice(0, 2)));
    const targets = selected ? new Set(game.legal.filter((uci) => uci.startsWith(selected)).map((uci) => uci.slice(2, 4)))
      : new Set();
    drawBoard(board, trueBoard ? game.board : game.view, {
      flip: game.color === "black",
      belief: trueBoard ? null : belief,
      movable: waiting ? new Set() : movable,
      selected,
      targets,
      onClick: click,
      onHover: (text) => { $("play-hover").textContent = text; },
    });
    board.dataset.game = game.id;
    board.dataset.ply = game.ply;
    board.dataset.turn = mine ? "you" : over ? "over" : "agent";

    const status = $("play-status");
    if (game.failure) status.textContent = game.failure;
    else if (over) status.textContent = "Game over.";
    else if (waiting) status.textContent = `${game.agent} is thinking…`;
    else if (mine) status.textContent = `Your move (${game.color}).`;
    else status.textContent = `${game.agent} to move.`;

    const result = $("play-result");
    result.hidden = !over;
    if (over) {
      const outcome = { won: "You won", lost: "You lost", drawn: "A draw" }[game.result.outcome];
      result.textContent = `${outcome}: ${game.result.reason} (${game.result.score}).`;
      result.className = `result ${game.result.outcome}`;
    }
    showTrue.parentElement.hidden = !over;
    $("play-belief-info").textContent = belief ? beliefSummary(belief) +
      " Red: how many of the positions you hold possible have an opponent's piece on the square." : "";

    const moves = $("play-moves");
    moves.replaceChildren(...game.moves.map((move) => {
      const item = document.createElement("li");
      item.textContent = move.uci ?? "?";
      if (move.uci === null) {
        item.className = "hidden-move";
        item.title = "the agent's move, hidden until the game ends";
      }
      return item;
    }));
  }

  newGame();
  return {};
}
