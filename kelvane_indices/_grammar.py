"""Formula text to postfix tokens: Python's expression grammar cut down to band math.

The text is parsed by the standard library's parser into a syntax tree and never executed:
every node is checked against a short list of allowed constructs, and anything else is a
ValueError that names the construct and its column.
"""

from __future__ import annotations

import ast
from typing import List, Tuple, Union

# A token of the postfix form: ("band-or-constant name", name), ("number", value) or ("op", op),
# where op is one of the engine's instruction types.
Token = Tuple[str, Union[str, float]]

_BINARY = {ast.Add: "add", ast.Sub: "sub", ast.Mult: "mul", ast.Div: "div", ast.Pow: "pow"}
_FUNCTIONS = {"sqrt": "sqrt", "abs": "abs"}
GRAMMAR_HINT = "formulas take numbers, names, + - * / **, unary - and +, parentheses, sqrt() and abs()"

# What a refused construct is called in an error message.
_REFUSED_OPERATORS = {
    ast.FloorDiv: "operator '//'", ast.Mod: "operator '%'", ast.MatMult: "operator '@'",
    ast.LShift: "operator '<<'", ast.RShift: "operator '>>'", ast.BitOr: "operator '|'",
    ast.BitXor: "operator '^' (use ** for powers)", ast.BitAnd: "operator '&'",
    ast.Not: "operator 'not'", ast.Invert: "operator '~'",
}
_REFUSED_NODES = {
    ast.Attribute: "attribute access", ast.Subscript: "subscript", ast.Compare: "comparison",
    ast.BoolOp: "'and'/'or'", ast.IfExp: "conditional expression", ast.Lambda: "lambda",
    ast.Tuple: "tuple", ast.List: "list", ast.Dict: "dict", ast.Set: "set",
    ast.ListComp: "comprehension", ast.SetComp: "comprehension", ast.DictComp: "comprehension",
    ast.GeneratorExp: "generator expression", ast.JoinedStr: "f-string", ast.Starred: "starred expression",
    ast.NamedExpr: "assignment expression ':='", ast.Await: "await", ast.Yield: "yield",
    ast.YieldFrom: "yield", ast.Slice: "slice",
}


class FormulaError(ValueError):
    """A formula outside the grammar: the message names the construct and its column."""


def shown(formula: str) -> str:
    """A formula as error messages quote it: whole if short, else its start."""
    return repr(formula) if len(formula) <= 80 else repr(formula[:77] + "...")


def _refuse(formula: str, what: str, node: ast.AST) -> FormulaError:
    lead = len(formula) - len(formula.lstrip())  # the parser sees the text without it
    column = getattr(node, "col_offset", 0) + 1 + lead
    return FormulaError(f"formula {shown(formula)}: {what} at column {column} is not allowed; {GRAMMAR_HINT}")


def _describe(node: ast.AST) -> str:
    if isinstance(node, ast.Call):
        func = node.func
        name = func.id if isinstance(func, ast.Name) else ast.unparse(func)
        return f"call of {name!r}"
    if isinstance(node, ast.Constant):
        return f"literal {node.value!r}"
    if isinstance(node, (ast.BinOp, ast.UnaryOp)):
        return _REFUSED_OPERATORS.get(type(node.op), f"operator {type(node.op).__name__}")
    return _REFUSED_NODES.get(type(node), type(node).__name__.lower())


def parse(formula: str) -> List[Token]:
    """The postfix tokens of `formula`: left operand first, one operation per token, in tree order.

    No constant folding and no reordering: the tokens are the syntax tree written out.
    """
    if not isinstance(formula, str):
        raise TypeError(f"a formula is a string such as '(N - R) / (N + R)', not {type(formula).__name__}")
    try:
        tree = ast.parse(formula.strip(), mode="eval")
    except SyntaxError as exc:
        lead = len(formula) - len(formula.lstrip())
        column = f" at column {exc.offset + lead}" if exc.offset else " (it ends too early)"
        raise FormulaError(f"formula {shown(formula)} is not an expression: {exc.msg}{column}") from None
    except (ValueError, RecursionError, MemoryError) as exc:  # null bytes, absurd nesting
        raise FormulaError(f"formula {shown(formula)} cannot be parsed: {exc}") from None

    tokens: List[Token] = []
    # Iterative post-order walk: a long chain such as "a + a + ... + a" is a deep tree.
    pending: List[Tuple[ast.AST, bool]] = [(tree.body, False)]
    while pending:
        node, children_done = pending.pop()
        if children_done:
            if isinstance(node, ast.BinOp):
                tokens.append(("op", _BINARY[type(node.op)]))
            elif isinstance(node, ast.UnaryOp):
                if isinstance(node.op, ast.USub):
                    tokens.append(("op", "neg"))
            else:  # a call of sqrt or abs
                tokens.append(("op", _FUNCTIONS[node.func.id]))  # type: ignore[attr-defined]
            continue
        if isinstance(node, ast.Constant):
            value = node.value
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise _refuse(formula, _describe(node), node)
            try:
                tokens.append(("number", float(value)))
            except OverflowError:
                raise _refuse(formula, f"number {value} (too large for float32)", node) from None
        elif isinstance(node, ast.Name):
            tokens.append(("name", node.id))
        elif isinstance(node, ast.BinOp) and type(node.op) in _BINARY:
            pending.append((node, True))
            pending.append((node.right, False))
            pending.append((node.left, False))
        elif isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
            pending.append((node, True))
            pending.append((node.operand, False))
        elif (isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id in _FUNCTIONS):
            if len(node.args) != 1 or node.keywords or isinstance(node.args[0], ast.Starred):
                raise _refuse(formula, f"{node.func.id}() with other than one argument", node)
            pending.append((node, True))
            pending.append((node.args[0], False))
        else:
            raise _refuse(formula, _describe(node), node)
    return tokens


def symbols_of(tokens: List[Token]) -> Tuple[str, ...]:
    """The free names of a token list, each once, in order of first appearance."""
    return tuple(dict.fromkeys(value for kind, value in tokens if kind == "name"))  # type: ignore[misc]
