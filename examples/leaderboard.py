"""A live leaderboard maintained from collections.

Each player's current score is one element of the `scores` collection; a new score replaces
the old element (delete, then insert). Everything else is derived and kept up to date from
those changes, not recomputed:

- `ranking`: the players in rank order (sort_by_key);
- `neighbours`: each player with the one just above and just below (window(3));
- `closest`: the smallest gap between two neighbouring ranks (pairwise, then aggregate);
- `team_totals`: points per team (group_by, then one aggregate per team);
- an observer prints the podium whenever it changes, at stabilize().

    python examples/leaderboard.py
"""
from __future__ import annotations

import operator
from typing import NamedTuple

import velk_concurrent as velk


class Score(NamedTuple):
    player: str
    team: str
    points: int


def rank_key(s: Score) -> tuple[int, str]:
    return (-s.points, s.player)


class Leaderboard:
    def __init__(self, rt: velk.Runtime, teams: list[str]) -> None:
        self.rt = rt
        self.current: dict[str, Score] = {}
        self.scores: velk.Collection[Score] = rt.create_collection()
        self.ranking = self.scores.sort_by_key(rank_key)
        self.neighbours = self.ranking.window(3)
        gaps = self.ranking.pairwise().map(lambda pair: pair[0].points - pair[1].points)
        self.closest = gaps.aggregate(None, lambda gap: gap, _min_or_none)
        self.total = self.scores.aggregate(0, lambda s: s.points, operator.add)
        # A group appears when its first element is routed, and stays when it empties: route
        # one placeholder per team now so that every team has its group, and its aggregate,
        # from the start.
        by_team = self.scores.group_by(lambda s: s.team)
        self.by_team_version = by_team.version_node
        for team in teams:
            self.scores.insert(Score("", team, 0))
        rt.get(self.by_team_version)
        for team in teams:
            self.scores.delete(Score("", team, 0))
        self.team_totals = {team: self._team_total(by_team, team) for team in teams}
        # A version node is created on first access, which a query function may not do: take
        # it here, outside, and let the query read the handle.
        self.ranking_version = self.ranking.version_node
        self.podium = rt.create_query(self._podium)

    def record(self, player: str, team: str, points: int) -> None:
        old = self.current.get(player)
        if old is not None:
            self.scores.delete(old)
        self.current[player] = Score(player, team, points)
        self.scores.insert(self.current[player])

    def rivals(self, player: str) -> tuple[str, str]:
        """The players just above and just below `player` ("-" at either end)."""
        self.rt.get(self.ranking_version)  # snapshot() shows the order as of the last read
        ranked = self._ranked()
        i = [s.player for s in ranked].index(player)
        above = ranked[i - 1].player if i > 0 else "-"
        below = ranked[i + 1].player if i + 1 < len(ranked) else "-"
        return above, below

    def _podium(self, ref: velk.RuntimeRef) -> tuple[str, ...]:
        ref.get(self.ranking_version)  # the dependency that brings the order up to date
        return tuple(s.player for s in self._ranked()[:3])

    def _ranked(self) -> list[Score]:
        return self.ranking.snapshot()

    def _team_total(self, grouped: velk.GroupedCollection[str, Score], team: str) -> velk.NodeId[int]:
        group = grouped.get_group(team)
        assert group is not None
        points = group.aggregate(0, lambda s: s.points, operator.add)
        version = self.by_team_version

        def total(ref: velk.RuntimeRef) -> int:
            # The groups are fed when the group_by router runs, and reading a group's own
            # operators does not run it: read the router's version first.
            ref.get(version)
            return ref.get(points)
        return self.rt.create_query(total)


def _min_or_none(a: int | None, b: int | None) -> int | None:
    if a is None or b is None:
        return b if a is None else a
    return min(a, b)


def windows_around(board: Leaderboard, player: str) -> list[list[str]]:
    """The windows of three neighbours that contain `player`, read from the derived collection."""
    rt = board.rt
    containing = board.neighbours.filter(lambda w: any(s.player == player for s in w))
    return sorted(rt.get(containing.reduce(lambda ws: [[s.player for s in w] for w in ws])))


def main() -> None:
    rt = velk.Runtime()
    board = Leaderboard(rt, ["red", "blue"])
    rt.observe(board.podium, lambda podium: print("  podium now:", " > ".join(podium)))

    rounds = [
        [("ana", "red", 30), ("bo", "blue", 25), ("cy", "red", 20), ("di", "blue", 10)],
        [("di", "blue", 40)],                    # di jumps to first place
        [("cy", "red", 21)],                     # no podium change: the observer stays quiet
        [("bo", "blue", 45), ("ed", "red", 44)],
    ]
    for number, events in enumerate(rounds, start=1):
        for player, team, points in events:
            board.record(player, team, points)
        print(f"round {number}:", ", ".join(f"{p} {pts}" for p, _, pts in events))
        rt.stabilize()
        teams = {team: rt.get(node) for team, node in board.team_totals.items()}
        print(f"  total {rt.get(board.total)}, teams {teams}, closest gap {rt.get(board.closest)}")
        print("  cy is between", " and ".join(board.rivals("cy")))

    print("windows holding ana:", windows_around(board, "ana"))


if __name__ == "__main__":
    main()
