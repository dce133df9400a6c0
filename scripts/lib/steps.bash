# Steps of scripts/test, scripts/hardening and scripts/free-threaded: each is labelled by what
# it runs, timed, and recorded in one table that the outermost script prints when it ends,
# after a failure too, naming the step that failed.
#
# Sourced, not run. Settings (environment):
#   MURKPLAY_STEPS   the steps to run, by id, separated by commas or blanks (default: all);
#                    `scripts/test --list` shows the ids
#   MURKPLAY_FT_TARBALL   the free-threaded CPython source (default: the tarball in
#                    shared/toolchains beside the checkout)

steps_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

# The free-threaded interpreter's source: named by MURKPLAY_FT_TARBALL, else looked for beside
# the checkout, where CI keeps its shared toolchains. A clone on its own has none.
ft_tarball() {
  echo "${MURKPLAY_FT_TARBALL:-$(realpath -m "$steps_root/../shared/toolchains/cpython-3.13.0a5-freethreading.tar.xz")}"
}

# Empty when the step can run, else why it is skipped. An explicitly named tarball that is
# missing is an error of the caller's, not a reason to skip.
ft_skip_reason() {
  local tarball
  tarball="$(ft_tarball)"
  if [ -z "${MURKPLAY_FT_TARBALL:-}" ] && [ ! -f "$tarball" ]; then
    echo "no free-threaded CPython source at $tarball (set MURKPLAY_FT_TARBALL to run it)"
  fi
}

step_selected() { # ID[,ID...]: true when any of them is wanted
  local wanted="${MURKPLAY_STEPS:-}" id
  [ -z "$wanted" ] && return 0
  [ "$1" = setup ] && return 0
  for id in ${1//,/ }; do
    [[ ",${wanted//[[:space:]]/,}," == *",$id,"* ]] && return 0
  done
  return 1
}

# The outermost script owns the table: it creates it and prints it on exit.
steps_init() { # SCRIPT-NAME
  steps_script="$1"
  if [ -z "${MURKPLAY_STEP_TABLE:-}" ]; then
    mkdir -p "$steps_root/build/reports"
    export MURKPLAY_STEP_TABLE="$steps_root/build/reports/steps.tsv"
    : >"$MURKPLAY_STEP_TABLE"
    steps_started=$SECONDS
    trap steps_summary EXIT
  fi
}

# Runs FUNCTION [ARGS] as the step ID labelled LABEL, in a subshell with errexit of its own, so
# the first failing command ends the step. The function may call skip_step REASON, step_note
# TEXT and step_details LINES. A failed step ends the script with its exit status. The table
# has a row a step: id, label, time, outcome, and the details with their lines joined by \036.
run_step() { # ID LABEL FUNCTION [ARGS...]
  local id="$1" label="$2" rc=0 start=$SECONDS outcome
  shift 2
  if ! step_selected "$id"; then
    printf '%s\t%s\t%s\t%s\t\n' "$id" "$label" "-" "skipped: not in MURKPLAY_STEPS" >>"$MURKPLAY_STEP_TABLE"
    return 0
  fi
  printf '\n==== %s: %s [%s] ====\n' "$steps_script" "$label" "$id"
  local notes
  notes="$(mktemp -d)"
  set +e
  (
    set -Eeuo pipefail
    trap 'exit $?' ERR
    STEP_NOTES="$notes"
    "$@"
  )
  rc=$?
  set -e
  if [ "$rc" -ne 0 ]; then
    outcome="FAILED (exit $rc)"
  elif [ -s "$notes/skip" ]; then
    outcome="skipped: $(cat "$notes/skip")"
    echo "$outcome"
  else
    outcome="passed"
  fi
  if [ -s "$notes/note" ]; then outcome="$outcome ($(cat "$notes/note"))"; fi
  local details=""
  if [ -s "$notes/details" ]; then details="$(grep -v '^$' "$notes/details" | tr '\n' '\036' || true)"; fi
  rm -rf "$notes"
  printf '%s\t%s\t%s\t%s\t%s\n' "$id" "$label" "$((SECONDS - start))s" "$outcome" "${details%$'\036'}" \
    >>"$MURKPLAY_STEP_TABLE"
  if [ "$rc" -ne 0 ]; then
    printf '\n%s: step "%s" [%s] FAILED with exit %d\n' "$steps_script" "$label" "$id" "$rc" >&2
    exit "$rc"
  fi
}

skip_step() { # REASON: ends the step as skipped
  printf '%s' "$1" >"$STEP_NOTES/skip"
  exit 0
}

step_note() { # TEXT: shown beside the step's outcome, e.g. its test counts
  printf '%s' "$1" >"$STEP_NOTES/note"
}

step_details() { # LINES: shown under the step's row, e.g. why tests were skipped
  printf '%s\n' "$1" >>"$STEP_NOTES/details"
}

# "N passed, N failed, N skipped" of a JUnit XML report, for step_note.
junit_counts() { # FILE
  python3 - "$1" <<'EOF' 2>/dev/null || true
import sys
import xml.etree.ElementTree as ET

count = {"passed": 0, "failed": 0, "skipped": 0}
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    if case.find("failure") is not None or case.find("error") is not None:
        count["failed"] += 1
    elif case.find("skipped") is not None or case.get("status") in ("notrun", "disabled"):
        count["skipped"] += 1
    else:
        count["passed"] += 1
print(", ".join(f"{n} {key}" for key, n in count.items() if n))
EOF
}

# Why tests of a JUnit XML report were skipped: a line per reason with its count, the commonest
# first, for step_details.
junit_skips() { # FILE
  python3 - "$1" <<'EOF' 2>/dev/null || true
import collections
import sys
import xml.etree.ElementTree as ET

reasons = collections.Counter()
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    skipped = case.find("skipped")
    if skipped is not None:
        reason = " ".join((skipped.get("message") or skipped.text or "no reason given").split())
        reasons[reason if len(reason) <= 110 else reason[:107] + "..."] += 1
for reason, count in sorted(reasons.items(), key=lambda item: (-item[1], item[0])):
    print(f"{count} skipped: {reason}")
EOF
}

# A JUnit XML report's counts beside the step, and its skip reasons under it.
junit_report() { # FILE
  step_note "$(junit_counts "$1")"
  step_details "$(junit_skips "$1")"
}

steps_summary() {
  local rc=$? failed
  trap - EXIT
  printf '\n==== %s: summary ====\n' "$steps_script"
  # Two passes: the widest id, label and time first, so that every row lines up.
  awk -F'\t' 'NR == FNR { if (length($1) > w1) w1 = length($1); if (length($2) > w2) w2 = length($2)
                          if (length($3) > w3) w3 = length($3); next }
              { printf "  %-*s  %-*s  %*s  %s\n", w1, $1, w2, $2, w3, $3, $4
                n = split($5, lines, "\036")
                for (i = 1; i <= n; i++) printf "  %-*s    %s\n", w1, "", lines[i] }' \
    "$MURKPLAY_STEP_TABLE" "$MURKPLAY_STEP_TABLE"
  failed="$(awk -F'\t' '$4 ~ /^FAILED/ { print $2 " [" $1 "]"; exit }' "$MURKPLAY_STEP_TABLE")"
  if [ "$rc" -eq 0 ]; then
    printf '%s: no step failed (%d passed, %d skipped) in %ds\n' "$steps_script" \
      "$(awk -F'\t' '$4 ~ /^passed/' "$MURKPLAY_STEP_TABLE" | wc -l)" \
      "$(awk -F'\t' '$4 ~ /^skipped/' "$MURKPLAY_STEP_TABLE" | wc -l)" "$((SECONDS - steps_started))"
  elif [ -n "$failed" ]; then
    printf '%s: FAILED in step "%s" after %ds; later steps did not run\n' \
      "$steps_script" "$failed" "$((SECONDS - steps_started))" >&2
  else
    printf '%s: FAILED (exit %d) outside any step after %ds\n' "$steps_script" "$rc" \
      "$((SECONDS - steps_started))" >&2
  fi
  exit "$rc"
}
