// The page's screens, shown one at a time by the address's #fragment.
import { api } from "./api.js";
import { startPlay } from "./play.js";
import { startReplay } from "./replay.js";
import { startTraining } from "./training.js";

const screens = {};

function show() {
  const wanted = location.hash.slice(1);
  const name = wanted in screens ? wanted : "play";
  for (const [screen, controller] of Object.entries(screens)) {
    document.getElementById(screen).hidden = screen !== name;
    document.querySelector(`nav a[data-screen="${screen}"]`).classList.toggle("active", screen === name);
    controller.active?.(screen === name);
  }
}

async function start() {
  const config = await api("/api/config");
  screens.play = startPlay(config);
  if (config.records !== null) screens.replay = startReplay(config);
  if (config.run !== null) screens.training = startTraining(config);
  for (const name of Object.keys(screens)) {
    document.querySelector(`nav a[data-screen="${name}"]`).hidden = false;
  }
  window.addEventListener("hashchange", show);
  show();
  document.body.dataset.ready = "true";
}

start().catch((error) => {
  const message = document.createElement("p");
  message.className = "error";
  message.textContent = `The page could not start: ${error.message}`;
  document.querySelector("main").prepend(message);
});
