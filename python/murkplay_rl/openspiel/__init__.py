"""murkplay as an OpenSpiel game: the state API that OpenSpiel's algorithms and bots run on,
with resampling from a player's information state (``pip install "murkplay[openspiel]"``).

Importing this package registers the game ``murkplay_fog_chess`` with ``pyspiel``::

    import pyspiel
    import murkplay_rl.openspiel

    game = pyspiel.load_game("murkplay_fog_chess", {"max_plies": 200})

Its actions are murkplay's policy slots, its states keep one native game each, and
``resample_from_infostate`` draws a full state, with a history of its own, from the belief that
the player keeps of the hidden board. The bots of ``murkplay_rl.openspiel.bots`` carry agents
across: an OpenSpiel bot plays in murkplay's arena, an arena agent is an OpenSpiel bot.
"""

from murkplay_rl._optional import require

require("pyspiel", "openspiel", "the OpenSpiel game")

from murkplay_rl.openspiel.game import (  # noqa: E402  (the import above names the extra)
    GAME_TYPE,
    SHORT_NAME,
    FogChessGame,
    FogChessState,
    load_game,
)
from murkplay_rl.openspiel.belief import ResampleError  # noqa: E402
from murkplay_rl.openspiel.bots import AgentBot, BotAgent, ismcts_agent, ismcts_bot  # noqa: E402

__all__ = [
    "GAME_TYPE",
    "SHORT_NAME",
    "AgentBot",
    "BotAgent",
    "FogChessGame",
    "FogChessState",
    "ResampleError",
    "ismcts_agent",
    "ismcts_bot",
    "load_game",
]
