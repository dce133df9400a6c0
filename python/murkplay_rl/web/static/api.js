// The one way the screens ask the server for anything, and show what it refused.

export async function api(path, options = {}) {
  const init = { ...options, headers: { Accept: "application/json" } };
  if (options.body !== undefined) {
    init.body = JSON.stringify(options.body);
    init.headers["Content-Type"] = "application/json";
  }
  const response = await fetch(path, init);
  if (response.status === 204) return null;
  let answer;
  try {
    answer = await response.json();
  } catch {
    throw new Error(`the server answered ${response.status} ${response.statusText}`);
  }
  if (!response.ok) throw new Error(answer.error ?? `the server answered ${response.status}`);
  return answer;
}

export function showError(element, error) {
  element.hidden = !error;
  element.textContent = error ? String(error.message ?? error) : "";
}
