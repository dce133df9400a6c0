// Replay: a recorded game ply by ply, as the true board or as either side saw it, with a
// side's belief over it.
import { api, showError } from "./api.js";
import { beliefSummary, drawBoard } from "./board.js";

export function startReplay(config) {
  const $ = (id) => document.getElementById(id);
  const sets = $("replay-set");
  const games = $("replay-game");
  let shown = false; // the screen is the one on show (arrow keys are its own then)
  let record = null; // the game being replayed
  let ply = 0;
  let drawn = 0; // requests answered out of order are dropped
  let listed = { offset: 0, total: 0 }; // the page of the set's games in the list
  const positions = new Map(); // answers already had, by their query
  const PAGE = 1000;

  sets.addEventListener("change", () => loadSet(sets.value));
  games.addEventListener("change", () => loadGame(Number(games.value)));
  $("replay-number").addEventListener("change", () => {
    const number = Number($("replay-number").value);
    if (Number.isInteger(number) && number >= 0 && number < listed.total) loadGame(number);
  });
  $("replay-first").addEventListener("click", () => go(0));
  $("replay-back").addEventListener("click", () => go(ply - 1));
  $("replay-forward").addEventListener("click", () => go(ply + 1));
  $("replay-last").addEventListener("click", () => go(record ? record.plies : 0));
  for (const input of document.querySelectorAll("#replay-view input, #replay-belief input")) {
    input.addEventListener("change", () => go(ply));
  }
  document.addEventListener("keydown", (event) => {
    if (!shown || !record || event.target.matches("input[type=text], select")) return;
    const target = { ArrowLeft: ply - 1, ArrowRight: ply + 1, Home: 0, End: record.plies }[event.key];
    if (target === undefined) return;
    event.preventDefault();
    go(target);
  });

  async function loadSets() {
    try {
      const answer = await api("/api/records");
      sets.replaceChildren(...answer.sets.map((name) => new Option(name || answer.root, name)));
      if (!answer.sets.length) throw new Error(`no game records found in ${answer.root}`);
      await loadSet(answer.sets[0]);
    } catch (error) {
      showError($("replay-error"), error);
    }
  }

  async function loadSet(name) {
    positions.clear();
    try {
      await listGames(0);
      if (listed.total) await loadGame(0);
    } catch (error) {
      showError($("replay-error"), error);
    }
  }

  // Lists the page of the set's games that holds game number ``first``.
  async function listGames(first) {
    const offset = first - (first % PAGE);
    const answer = await api(`/api/records/games?set=${encodeURIComponent(sets.value)}&offset=${offset}&limit=${PAGE}`);
    games.replaceChildren(...answer.games.map((game) => {
      const players = game.white ? `${game.white} – ${game.black}, ` : "";
      return new Option(`#${game.game}: ${players}${game.result}, ${game.plies} plies`, game.game);
    }));
    listed = { offset, total: answer.total };
    $("replay-number").max = Math.max(0, answer.total - 1);
    showError($("replay-warning"), answer.warning);
  }

  async function loadGame(number) {
    try {
      if (number < listed.offset || number >= listed.offset + PAGE) await listGames(number);
      record = await api(`/api/records/game?set=${encodeURIComponent(sets.value)}&game=${number}`);
      games.value = String(number);
      $("replay-number").value = String(number);
      const players = record.white ? `${record.white} (White) against ${record.black} (Black); ` : "";
      $("replay-info").textContent = `${players}result ${record.result} after ${record.plies} plies.`;
      $("replay-moves").replaceChildren(...record.moves.map((move, index) => {
        const item = document.createElement("li");
        item.textContent = move;
        item.addEventListener("click", () => go(index + 1));
        return item;
      }));
      await go(0);
    } catch (error) {
      showError($("replay-error"), error);
    }
  }

  async function go(target) {
    if (!record) return;
    ply = Math.max(0, Math.min(record.plies, target));
    const view = document.querySelector("#replay-view input:checked").value;
    const belief = document.querySelector("#replay-belief input:checked").value;
    const query = `set=${encodeURIComponent(sets.value)}&game=${record.game}&ply=${ply}&view=${view}&belief=${belief}`;
    const ticket = ++drawn;
    try {
      let position = positions.get(query);
      if (!position) {
        position = await api(`/api/records/position?${query}`);
        positions.set(query, position);
      }
      if (ticket === drawn) draw(position);
      showError($("replay-error"), null);
    } catch (error) {
      showError($("replay-error"), error);
    }
  }

  function draw(position) {
    const board = $("replay-board");
    drawBoard(board, position.squares, {
      flip: position.view === "black",
      last: position.view === "true" ? position.last : null,
      belief: position.belief,
      onHover: (text) => { $("replay-hover").textContent = text; },
    });
    board.dataset.ply = position.ply;
    board.dataset.view = position.view;
    const end = position.over ? `, the end: ${record.result}` : `, ${position.turn} to move`;
    $("replay-ply").textContent = `ply ${position.ply} of ${record.plies}${end}`;
    const belief = position.belief;
    $("replay-belief-info").textContent = belief ? `${beliefSummary(belief)} As of ply ${belief.ply}, ` +
      `${belief.side}'s latest turn.` : "";
    [...$("replay-moves").children].forEach((item, index) => item.classList.toggle("current", index === position.ply - 1));
    $("replay-moves").children[position.ply - 1]?.scrollIntoView({ block: "nearest" });
  }

  loadSets();
  return { active: (on) => { shown = on; } };
}
