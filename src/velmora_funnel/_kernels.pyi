from collections.abc import Buffer
from typing import final

@final
class Block:
    """Read-only bytes of a sealed copy."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

def margins(
    lower_t: Buffer,
    lower_y: Buffer,
    upper_t: Buffer,
    upper_y: Buffer,
    ref_t: Buffer,
    ref_y: Buffer,
    atoly: float,
    ltoly: float,
    rtoly: float,
    t: Buffer,
    v: Buffer,
    errors: Buffer,
    out: Buffer | None,
    /,
) -> tuple[float, int]: ...
def error_summary(t: Buffer, errors: Buffer, lo: float, hi: float, /) -> tuple[int, int, int, float, bool]: ...
def half_widths(
    t: Buffer,
    y: Buffer,
    atolx: float,
    ltolx: float,
    rtolx: float,
    atoly: float,
    ltoly: float,
    rtoly: float,
    /,
) -> tuple[tuple[float, float], tuple[float, float]]: ...
def summarise(
    ref_t: Buffer,
    ref_y: Buffer,
    t: Buffer,
    v: Buffer,
    errors: Buffer,
    lower_t: Buffer,
    lower_y: Buffer,
    upper_t: Buffer,
    upper_y: Buffer,
    lo: float,
    hi: float,
    atolx: float,
    ltolx: float,
    rtolx: float,
    atoly: float,
    ltoly: float,
    rtoly: float,
    /,
) -> tuple[
    int,
    int,
    int,
    int,
    int,
    int,
    int,
    int,
    float,
    bool,
    float,
    int,
    tuple[tuple[float, float], tuple[float, float]] | None,
]: ...
def format_csv(c0: Buffer, c1: Buffer, /, *columns: Buffer) -> bytes: ...
def sealed_copy(buffer: Buffer, /) -> Block: ...
def lay_out_rows(matrix: Buffer, rows: int, out: Buffer, /) -> None: ...
