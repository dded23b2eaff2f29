#!/usr/bin/env python3
"""Draws the product mark shown in the about panel and writes it, run-length coded, to
src/ui/logo_runs.inc (src/ui/logo_pixels.cpp expands it while compiling).

The mark is a four-pointed star with a fainter diagonal sparkle, from which one long
streak and two shorter ones run to the right, white at the star turning to cyan along
the streaks. Every pixel is the coverage of the shapes, sampled 4 x 4 times, then
quantised to 16 colour steps and 32 alpha levels so that runs stay long.

    scripts/make-logo.py            # rewrites src/ui/logo_runs.inc
    scripts/make-logo.py --check    # exits 1 when the file is not what this script writes
"""
import pathlib
import sys

W, H = 150, 56
CX, CY = 38.0, 28.0
SAMPLES = 4
COLOUR_STEPS = 16
ALPHA_LEVELS = 32
WHITE = (1.0, 1.0, 1.0)
CYAN = (0.30, 0.78, 0.95)
OUT = pathlib.Path(__file__).resolve().parent.parent / "src" / "ui" / "logo_runs.inc"


def diamond(x, y, cx, cy, half_w, half_h):
    """Inside the diamond with these half extents: 1, else 0."""
    return 1.0 if abs(x - cx) / half_w + abs(y - cy) / half_h <= 1.0 else 0.0


def rotated_diamond(x, y, half_long, half_short):
    """A thin diamond along the 45-degree diagonals through the star's centre."""
    u = ((x - CX) + (y - CY)) * 0.70710678
    v = ((x - CX) - (y - CY)) * 0.70710678
    return max(diamond(u, v, 0, 0, half_long, half_short), diamond(v, u, 0, 0, half_long, half_short))


def streak(x, y, x0, x1, yc, half_h, fade):
    """A wedge from x0 (full height) to a point at x1, fading to `fade` of full strength."""
    if x < x0 or x > x1:
        return 0.0
    t = (x - x0) / (x1 - x0)
    if abs(y - yc) > half_h * (1.0 - t):
        return 0.0
    return 1.0 - (1.0 - fade) * t


def intensity(x, y):
    star = max(diamond(x, y, CX, CY, 30.0, 3.4), diamond(x, y, CX, CY, 3.4, 25.0))
    sparkle = 0.55 * rotated_diamond(x, y, 13.0, 1.8)
    core = 1.0 if (x - CX) ** 2 + (y - CY) ** 2 <= 5.5 ** 2 else 0.0
    streaks = max(streak(x, y, CX, 147.0, CY, 2.4, 0.3),
                  0.7 * streak(x, y, 58.0, 134.0, CY - 8.0, 1.2, 0.2),
                  0.7 * streak(x, y, 58.0, 120.0, CY + 8.0, 1.2, 0.2))
    return max(star, sparkle, core, streaks)


def pixel(px, py):
    """Premultiplied (blue, green, red, alpha) bytes of one pixel."""
    total = 0.0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            total += intensity(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
    alpha = round(total / (SAMPLES * SAMPLES) * (ALPHA_LEVELS - 1)) / (ALPHA_LEVELS - 1)
    t = min(max((px + 0.5 - CX) / (W - CX), 0.0), 1.0)
    t = round(t * (COLOUR_STEPS - 1)) / (COLOUR_STEPS - 1)
    rgb = [w + (c - w) * t for w, c in zip(WHITE, CYAN)]
    r, g, b = (round(v * alpha * 255) for v in rgb)
    return (b, g, r, round(alpha * 255)) if alpha > 0 else (0, 0, 0, 0)


def encode():
    palette, runs = [], []
    index = {}
    for py in range(H):
        for px in range(W):
            p = pixel(px, py)
            if p not in index:
                index[p] = len(palette)
                palette.append(p)
            i = index[p]
            if runs and runs[-1][1] == i and runs[-1][0] < 255:
                runs[-1][0] += 1
            else:
                runs.append([1, i])
    assert len(palette) <= 256
    assert sum(n for n, _ in runs) == W * H
    return palette, runs


def lines(values, per_line):
    text = [", ".join(str(v) for v in values[i:i + per_line]) + "," for i in range(0, len(values), per_line)]
    return "\n".join(text)


def render():
    palette, runs = encode()
    flat = [v for run in runs for v in run]
    return (
        "// Written by scripts/make-logo.py; edit the script and run it again instead.\n"
        f"// {W} x {H} pixels: {len(palette)} colours, {len(runs)} runs.\n"
        "// Premultiplied blue, green, red, alpha of each colour.\n"
        "constexpr std::uint8_t kLogoPalette[][4] = {\n"
        + "\n".join("    {" + ", ".join(str(c) for c in p) + "}," for p in palette)
        + "\n};\n"
        "// Pairs of (pixels, colour), row after row.\n"
        "constexpr std::uint8_t kLogoRuns[] = {\n"
        + lines(flat, 24)
        + "\n};\n"
    )


def main():
    text = render()
    if "--check" in sys.argv[1:]:
        current = OUT.read_text() if OUT.exists() else ""
        if current != text:
            print(f"{OUT} is out of date; run scripts/make-logo.py", file=sys.stderr)
            return 1
        return 0
    OUT.write_text(text)
    print(f"wrote {OUT} ({len(text)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
