"""A spreadsheet whose cells are queries: an edit recomputes only the cells that depend on it.

Each cell is two nodes: an input holding what the user typed (a number, or a formula such as
"=A1*B1" or "=SUM(A1:A3)") and a query that evaluates it. The query reads other cells through
its RuntimeRef, so the engine learns the dependencies from the formulas themselves, and changing
a formula re-wires them. The counts printed after each edit are the cells that were evaluated.

    python examples/spreadsheet.py
"""
from __future__ import annotations

import re
from collections import Counter
from typing import Callable

import velk_concurrent as velk

CELL = re.compile(r"\b([A-Z])([1-9][0-9]*)\b")
RANGE = re.compile(r"\b([A-Z])([1-9][0-9]*):([A-Z])([1-9][0-9]*)\b")
FUNCTIONS: dict[str, Callable[..., object]] = {
    "SUM": lambda *xs: sum(xs), "MAX": max, "MIN": min, "ABS": abs, "ROUND": round}


class Sheet:
    def __init__(self) -> None:
        self.rt = velk.Runtime()
        self.sources: dict[str, velk.NodeId[object]] = {}
        self.cells: dict[str, velk.NodeId[object]] = {}
        self.evaluations: Counter[str] = Counter()

    def __setitem__(self, name: str, source: object) -> None:
        if name in self.sources:
            self.rt.set(self.sources[name], source)
            return
        self.sources[name] = self.rt.create_input(source)
        self.cells[name] = self.rt.create_query(self._evaluator(name))
        self.rt.set_label(self.sources[name], name + " typed")
        self.rt.set_label(self.cells[name], name)

    def __getitem__(self, name: str) -> object:
        return self.rt.get(self.cells[name])

    def take_evaluations(self) -> str:
        text = ", ".join(f"{name}" for name in sorted(self.evaluations)) or "none"
        self.evaluations.clear()
        return text

    def _evaluator(self, name: str) -> Callable[[velk.RuntimeRef], object]:
        def evaluate(ref: velk.RuntimeRef) -> object:
            self.evaluations[name] += 1
            source = ref.get(self.sources[name])
            if not (isinstance(source, str) and source.startswith("=")):
                return source
            names = {cell: ref.get(self.cells[cell]) for cell in self._references(source[1:])}
            expression = RANGE.sub(lambda m: ", ".join(_span(m)), source[1:])
            return eval(expression, {"__builtins__": {}, **FUNCTIONS}, names)
        return evaluate

    def _references(self, formula: str) -> list[str]:
        cells = [c for m in RANGE.finditer(formula) for c in _span(m)]
        cells += [a + b for a, b in CELL.findall(RANGE.sub("", formula))]
        return [c for c in dict.fromkeys(cells) if c in self.cells]


def _span(match: re.Match[str]) -> list[str]:
    col0, row0, col1, row1 = match.groups()
    return [f"{chr(c)}{r}" for c in range(ord(col0), ord(col1) + 1)
            for r in range(int(row0), int(row1) + 1)]


def show(sheet: Sheet, what: str) -> None:
    values = {name: sheet[name] for name in ("A4", "B4", "C1", "C2", "C3", "C4", "D4")}
    print(f"{what:<34} evaluated: {sheet.take_evaluations()}")
    print("    " + "  ".join(f"{k}={v}" for k, v in values.items()))


def main() -> None:
    sheet = Sheet()
    # Quantities, unit prices and line totals for three items; totals and the top price in row 4.
    for row, (qty, price) in enumerate([(3, 10), (1, 25), (4, 5)], start=1):
        sheet[f"A{row}"] = qty
        sheet[f"B{row}"] = price
        sheet[f"C{row}"] = f"=A{row}*B{row}"
    sheet["A4"] = "=SUM(A1:A3)"
    sheet["B4"] = "=MAX(B1:B3)"
    sheet["C4"] = "=SUM(C1:C3)"
    sheet["D4"] = "=ROUND(B4*1.2)"  # the top price with tax

    show(sheet, "first read")
    sheet["A2"] = 2
    show(sheet, "A2: 1 -> 2")
    sheet["B1"] = 12
    show(sheet, "B1: 10 -> 12 (B4 stays 25, no D4)")
    sheet["A3"] = 4.0
    show(sheet, "A3: 4 -> 4.0 (equal: nothing runs)")
    sheet["C3"] = "=A3*B3*0"
    show(sheet, "C3: new formula =A3*B3*0")
    sheet["C2"] = "=A2*B2+A1"
    show(sheet, "C2: new formula =A2*B2+A1")
    sheet["A1"] = 5
    show(sheet, "A1: 3 -> 5 (C2 now reads it)")

    total = sheet.cells["C4"]
    sheet["B3"] = 6
    _, trace = sheet.rt.get_traced(total)
    sheet.take_evaluations()
    print(f"traced read of C4 after B3: 5 -> 6: {trace['nodes_recomputed']} recomputed, "
          f"{trace['nodes_cutoff']} cut off")


if __name__ == "__main__":
    main()
