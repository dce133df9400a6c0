"""A slow, plain-Python model of the fog-of-war game, used as an oracle by the tests.

It is written directly from the rules of the variant and shares no code with the
extension: a board is a list of 64 entries, attacks are found by walking rays, and
nothing is cached. Squares are numbered a1 = 0 .. h8 = 63; colours White = 0, Black = 1;
piece kinds Pawn = 0 .. King = 5.
"""

from __future__ import annotations

import numpy as np
from support import START_FEN

WHITE, BLACK = 0, 1
PAWN, KNIGHT, BISHOP, ROOK, QUEEN, KING = range(6)
KIND_LETTERS = "pnbrqk"
PROMOTION_ORDER = (QUEEN, ROOK, BISHOP, KNIGHT)

KING_SIDE, QUEEN_SIDE = 1, 2

ROOK_DIRECTIONS = ((1, 0), (-1, 0), (0, 1), (0, -1))
BISHOP_DIRECTIONS = ((1, 1), (1, -1), (-1, 1), (-1, -1))
KNIGHT_STEPS = ((1, 2), (2, 1), (2, -1), (1, -2), (-1, -2), (-2, -1), (-2, 1), (-1, 2))
KING_STEPS = ((1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1), (0, -1), (1, -1))


FEATURES = 35
CELLS = 64


def file_of(sq: int) -> int:
    return sq % 8


def rank_of(sq: int) -> int:
    return sq // 8


def square(file: int, rank: int) -> int:
    return rank * 8 + file


def on_board(file: int, rank: int) -> bool:
    return 0 <= file < 8 and 0 <= rank < 8


def square_name(sq: int) -> str:
    return "abcdefgh"[file_of(sq)] + "12345678"[rank_of(sq)]


def parse_square_name(text: str) -> int:
    return square("abcdefgh".index(text[0]), "12345678".index(text[1]))


def forward(color: int) -> int:
    return 1 if color == WHITE else -1


def start_rank(color: int) -> int:
    return 1 if color == WHITE else 6


def last_rank(color: int) -> int:
    return 7 if color == WHITE else 0


def home_rank(color: int) -> int:
    return 0 if color == WHITE else 7


class Refused(ValueError):
    """A FEN text the game refuses; the argument names the rule that failed."""


class Position:
    """True position: piece placement, castling rights, en-passant pawn, side to move."""

    def __init__(self):
        self.pieces: list[tuple[int, int] | None] = [None] * 64  # (colour, kind)
        self.side = WHITE
        self.castling = [0, 0]
        self.en_passant_pawn: int | None = None

    def copy(self) -> "Position":
        other = Position()
        other.pieces = list(self.pieces)
        other.side = self.side
        other.castling = list(self.castling)
        other.en_passant_pawn = self.en_passant_pawn
        return other

    @classmethod
    def from_fen(cls, fen: str | bytes) -> "Position":
        """Reads FEN text as the game does, loosely, and validates the position it describes.

        Raises Refused for a text the game refuses with "Invalid FEN string".
        """
        if isinstance(fen, str):
            try:
                fen = fen.encode("utf-8")
            except UnicodeEncodeError:
                raise Refused("not UTF-8") from None
        fields = fen.split(b" ")
        if len(fields) < 4:
            raise Refused("fewer than four fields")
        pos = cls()
        # Nothing is counted: ranks and files wrap, later pieces replace earlier ones.
        rank, file = 7, 0
        for ch in fields[0].decode("latin-1"):
            if ch == "/":
                rank, file = (rank + 7) % 8, 0
            elif ch in "12345678":
                file = (file + int(ch)) % 8
            elif ch in "PNBRQKpnbrqk":
                pos.pieces[square(file, rank)] = (WHITE if ch.isupper() else BLACK, KIND_LETTERS.index(ch.lower()))
                file = (file + 1) % 8
            else:
                raise Refused("placement")
        if fields[1] not in (b"w", b"W", b"b", b"B"):
            raise Refused("side to move")
        pos.side = WHITE if fields[1] in (b"w", b"W") else BLACK
        rights = fields[2]
        pos.castling = [
            (b"K" in rights) * KING_SIDE | (b"Q" in rights) * QUEEN_SIDE,
            (b"k" in rights) * KING_SIDE | (b"q" in rights) * QUEEN_SIDE,
        ]
        ep = fields[3]
        if len(ep) >= 2 and chr(ep[0]) in "abcdefgh" and chr(ep[1]) in "12345678":
            f = "abcdefgh".index(chr(ep[0]))
            r = 4 if pos.side == WHITE else 3
            usable = any(pos.pieces[square(nf, r)] == (pos.side, PAWN) for nf in (f - 1, f + 1) if 0 <= nf < 8)
            # The chance is dropped as well when the square the capture lands on is taken.
            if usable and pos.pieces[square(f, r + forward(pos.side))] is None:
                pos.en_passant_pawn = square(f, r)
        pos.validate()
        return pos

    def validate(self) -> None:
        us, them = self.side, 1 - self.side
        kings = [[q for q in range(64) if self.pieces[q] == (c, KING)] for c in (WHITE, BLACK)]
        if len(kings[WHITE]) != 1 or len(kings[BLACK]) != 1:
            raise Refused("kings")
        if self.en_passant_pawn is not None and self.pieces[self.en_passant_pawn] != (them, PAWN):
            raise Refused("en-passant pawn")
        if kings[them][0] in self.attacked_by(us):
            raise Refused("king of the side not to move attacked")
        for c in (WHITE, BLACK):
            home = home_rank(c)
            if self.castling[c] and self.pieces[square(4, home)] != (c, KING):
                raise Refused("castling king")
            for right, rook_file in ((KING_SIDE, 7), (QUEEN_SIDE, 0)):
                if self.castling[c] & right and self.pieces[square(rook_file, home)] != (c, ROOK):
                    raise Refused("castling rook")
        if kings[BLACK][0] in self.leap(kings[WHITE][0], KING_STEPS):
            raise Refused("kings adjacent")

    def attacked_by(self, color: int) -> set[int]:
        """Squares the pieces of a colour other than its king attack."""
        out = set()
        for sq, piece in enumerate(self.pieces):
            if piece is None or piece[0] != color or piece[1] == KING:
                continue
            out.update(self.pawn_diagonals(color, sq) if piece[1] == PAWN else self.reach(sq))
        return out

    # ------------------------------------------------------------------ attacks

    def slide(self, sq: int, directions) -> list[int]:
        out = []
        f0, r0 = file_of(sq), rank_of(sq)
        for df, dr in directions:
            f, r = f0 + df, r0 + dr
            while on_board(f, r):
                out.append(square(f, r))
                if self.pieces[square(f, r)] is not None:
                    break
                f, r = f + df, r + dr
        return out

    @staticmethod
    def leap(sq: int, steps) -> list[int]:
        f0, r0 = file_of(sq), rank_of(sq)
        return [square(f0 + df, r0 + dr) for df, dr in steps if on_board(f0 + df, r0 + dr)]

    @staticmethod
    def pawn_diagonals(color: int, sq: int) -> list[int]:
        f0, r0 = file_of(sq), rank_of(sq)
        r = r0 + forward(color)
        return [square(f, r) for f in (f0 - 1, f0 + 1) if on_board(f, r)]

    def reach(self, sq: int) -> list[int]:
        """Squares a non-pawn piece on sq attacks (slides stop on the first occupied square)."""
        _, kind = self.pieces[sq]
        if kind == KNIGHT:
            return self.leap(sq, KNIGHT_STEPS)
        if kind == BISHOP:
            return self.slide(sq, BISHOP_DIRECTIONS)
        if kind == ROOK:
            return self.slide(sq, ROOK_DIRECTIONS)
        if kind == QUEEN:
            return self.slide(sq, ROOK_DIRECTIONS + BISHOP_DIRECTIONS)
        if kind == KING:
            return self.leap(sq, KING_STEPS)
        raise AssertionError("pawns are handled separately")

    def en_passant_target(self, color: int) -> int | None:
        if self.en_passant_pawn is None:
            return None
        return self.en_passant_pawn + 8 * forward(color)

    # ------------------------------------------------------------- generation

    def generate_moves(self) -> list[tuple[int, int, int | None]]:
        """All moves of the side to move, in the order the game lists them."""
        c = self.side
        moves: list[tuple[int, int, int | None]] = []

        def add(s, d):
            if d is not None and rank_of(d) == last_rank(c) and self.pieces[s][1] == PAWN:
                moves.extend((s, d, p) for p in PROMOTION_ORDER)
            else:
                moves.append((s, d, None))

        own = [sq for sq in range(64) if self.pieces[sq] is not None and self.pieces[sq][0] == c]
        target = self.en_passant_target(c)
        for s in own:
            if self.pieces[s][1] != PAWN:
                continue
            f, r = file_of(s), rank_of(s)
            pushes = []
            r1 = r + forward(c)
            if on_board(f, r1) and self.pieces[square(f, r1)] is None:
                pushes.append(square(f, r1))
                r2 = r1 + forward(c)
                if r == start_rank(c) and self.pieces[square(f, r2)] is None:
                    pushes.append(square(f, r2))
            for d in sorted(pushes):
                add(s, d)
            for d in sorted(self.pawn_diagonals(c, s)):
                occupant = self.pieces[d]
                if occupant is not None and occupant[0] != c:
                    add(s, d)
            if target is not None and target in self.pawn_diagonals(c, s):
                moves.append((s, target, None))
        for kind in (KNIGHT, BISHOP, ROOK, QUEEN, KING):
            for s in own:
                if self.pieces[s][1] != kind:
                    continue
                for d in sorted(self.reach(s)):
                    occupant = self.pieces[d]
                    if occupant is None or occupant[0] != c:
                        moves.append((s, d, None))
                if kind == KING and s == square(4, home_rank(c)):
                    hr = home_rank(c)
                    rook = (c, ROOK)
                    if (self.castling[c] & KING_SIDE and self.pieces[square(7, hr)] == rook
                            and all(self.pieces[square(f, hr)] is None for f in (5, 6))):
                        moves.append((s, square(6, hr), None))
                    if (self.castling[c] & QUEEN_SIDE and self.pieces[square(0, hr)] == rook
                            and all(self.pieces[square(f, hr)] is None for f in (1, 2, 3))):
                        moves.append((s, square(2, hr), None))
        return moves

    def visible_squares(self, c: int) -> set[int]:
        seen: set[int] = set()
        for s in range(64):
            piece = self.pieces[s]
            if piece is None or piece[0] != c:
                continue
            seen.add(s)
            if piece[1] == PAWN:
                seen.update(self.pawn_diagonals(c, s))
                f, r = file_of(s), rank_of(s)
                r1 = r + forward(c)
                if on_board(f, r1):
                    seen.add(square(f, r1))
                    if r == start_rank(c) and self.pieces[square(f, r1)] is None:
                        seen.add(square(f, r1 + forward(c)))
            else:
                seen.update(self.reach(s))
        target = self.en_passant_target(c)
        if target is not None:
            e = self.en_passant_pawn
            takers = [
                s for s in range(64)
                if self.pieces[s] == (c, PAWN) and target in self.pawn_diagonals(c, s)
            ]
            if takers and self.pieces[e] is not None and self.pieces[e] == (1 - c, PAWN):
                seen.add(e)
        return seen

    # ------------------------------------------------------------ making moves

    def play(self, s: int, d: int, promotion: int | None) -> None:
        c, o = self.side, 1 - self.side
        mover = self.pieces[s]
        assert mover is not None and mover[0] == c
        kind = mover[1]
        previous_ep = self.en_passant_pawn
        self.en_passant_pawn = None
        self.pieces[s] = None
        self.pieces[d] = (c, kind)

        def loses(color, sq):
            hr = home_rank(color)
            return {square(0, hr): QUEEN_SIDE, square(4, hr): KING_SIDE | QUEEN_SIDE,
                    square(7, hr): KING_SIDE}.get(sq, 0)

        self.castling[o] &= ~loses(o, d)
        self.castling[c] &= ~loses(c, s)

        hr = home_rank(c)
        if kind == KING and s == square(4, hr) and d in (square(6, hr), square(2, hr)):
            rook_from, rook_to = (square(7, hr), square(5, hr)) if d == square(6, hr) else (
                square(0, hr), square(3, hr))
            if self.pieces[rook_from] == (c, ROOK) and self.pieces[rook_to] is None:
                self.pieces[rook_from] = None
                self.pieces[rook_to] = (c, ROOK)
        elif kind == PAWN and promotion is not None:
            self.pieces[d] = (c, promotion)
        elif kind == PAWN:
            if (rank_of(s) == start_rank(c) and file_of(s) == file_of(d)
                    and rank_of(d) == start_rank(c) + 2 * forward(c)):
                for nf in (file_of(d) - 1, file_of(d) + 1):
                    if 0 <= nf < 8 and self.pieces[square(nf, rank_of(d))] == (o, PAWN):
                        self.en_passant_pawn = d
            elif previous_ep is not None and previous_ep == d - 8 * forward(c):
                self.pieces[previous_ep] = None
        self.side = o

    def matrix(self) -> list[list[int]]:
        """The piece matrix of the `board` property: rank 8 first, codes kind + 1, Black negative."""
        rows = []
        for r in range(7, -1, -1):
            row = []
            for f in range(8):
                piece = self.pieces[square(f, r)]
                if piece is None:
                    row.append(0)
                else:
                    row.append((piece[1] + 1) * (1 if piece[0] == WHITE else -1))
            rows.append(row)
        return rows


class Game:
    """The true position plus each side's memory of what it last saw."""

    def __init__(self, fen: str = START_FEN):
        self.position = Position.from_fen(fen)
        self.memory_age = [[100.0] * 64, [100.0] * 64]
        self.memory_piece: list[list[tuple[int, int] | None]] = [[None] * 64, [None] * 64]
        self.captured_king: int | None = None
        self.refresh()

    def copy(self) -> "Game":
        other = Game.__new__(Game)
        other.position = self.position.copy()
        other.memory_age = [list(a) for a in self.memory_age]
        other.memory_piece = [list(p) for p in self.memory_piece]
        other.captured_king = self.captured_king
        return other

    def refresh(self) -> None:
        observer = self.position.side
        seen = self.position.visible_squares(observer)
        for q in range(64):
            if q in seen:
                self.memory_age[observer][q] = 0.0
                self.memory_piece[observer][q] = self.position.pieces[q]
            else:
                self.memory_age[observer][q] += 1.0

    def legal_actions_uci(self) -> list[str]:
        return [uci_text(m) for m in self.position.generate_moves()]

    def apply(self, text: str) -> None:
        s, d, promotion = parse_uci(text)
        target = self.position.pieces[d]
        if target is not None and target[1] == KING:
            self.captured_king = target[0]
        else:
            self.position.play(s, d, promotion)
        self.refresh()

    def observation(self, oracle: bool = False, viewer: int | None = None) -> np.ndarray:
        """The 64 x 35 observation of the side to move (or of `viewer`), as float32."""
        pos = self.position
        me = pos.side if viewer is None else viewer
        obs = np.zeros((CELLS, FEATURES), dtype=np.float32)
        seen = None if oracle else pos.visible_squares(me)
        counts = [0] * 6
        for piece in pos.pieces:
            if piece is not None and piece[0] != me:
                counts[piece[1]] += 1
        material = [
            np.float32(8 - counts[PAWN]) / np.float32(8),
            np.float32(2 - counts[KNIGHT]) / np.float32(2),
            np.float32(2 - counts[BISHOP]) / np.float32(2),
            np.float32(2 - counts[ROOK]) / np.float32(2),
            np.float32(1 - counts[QUEEN]),
        ]
        obs[:, 30:35] = material
        for q in range(64):
            cell = q if me == WHITE else q ^ 56
            if oracle or q in seen:
                piece = pos.pieces[q]
                if piece is None:
                    obs[cell, 12] = 1.0
                elif piece[0] == me:
                    obs[cell, piece[1]] = 1.0
                else:
                    obs[cell, 6 + piece[1]] = 1.0
            else:
                obs[cell, 13] = 1.0
            remembered = self.memory_piece[me][q]
            if remembered is None:
                obs[cell, 26] = 1.0
            elif remembered[0] == me:
                obs[cell, 14 + remembered[1]] = 1.0
            else:
                obs[cell, 20 + remembered[1]] = 1.0
            obs[cell, 27] = np.float32(1.0) / (np.float32(self.memory_age[me][q]) + np.float32(1.0))
        if pos.castling[me] & KING_SIDE:
            obs[0, 28] = 1.0
        if pos.castling[me] & QUEEN_SIDE:
            obs[1, 29] = 1.0
        return obs


def uci_text(move: tuple[int, int, int | None]) -> str:
    s, d, promotion = move
    text = square_name(s) + square_name(d)
    return text if promotion is None else text + KIND_LETTERS[promotion]


def parse_uci(text: str) -> tuple[int, int, int | None]:
    """Reads the UCI texts the game itself lists (four or five characters)."""
    promotion = KIND_LETTERS.index(text[4]) if len(text) == 5 else None
    return parse_square_name(text[0:2]), parse_square_name(text[2:4]), promotion
