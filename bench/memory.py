"""Memory of a game: its object size, and resident memory per game with a million alive.

Run as its own process (python bench/memory.py) so that nothing the other benchmarks left
on the heap shifts the figures. Prints one JSON object.
"""

from __future__ import annotations

import gc
import json
import sys

from murkplay import SelfPlayGame

GAMES = 10**6


def resident_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def main() -> None:
    game = SelfPlayGame()
    game.apply("e2e4")
    gc.collect()
    before = resident_bytes()
    games = [game.clone() for _ in range(GAMES)]
    after = resident_bytes()
    # The clones must really be independent games, not one object shared a million times.
    games[-1].apply("e7e5")
    assert games[0].board != games[-1].board and len({id(g) for g in games[:1000]}) == 1000
    print(
        json.dumps(
            {
                "getsizeof": sys.getsizeof(game),
                "games": len(games),
                "rss_before": before,
                "rss_after": after,
                "list_slot": 8,  # one pointer per game in the list that keeps them alive
            }
        )
    )


if __name__ == "__main__":
    main()
