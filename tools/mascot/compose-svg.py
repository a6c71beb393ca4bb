#!/usr/bin/env python3
"""Writes the twelve mascot drawings (Ворсик) as SVG files beside this script.

The creature is one fluffy ball drawn from shared parts; each state adds its own
pose and props, and the two frames of a state differ in pose so they read as
motion. The SVGs are the editable sources; render.sh turns them into the PNGs.
"""
import math
import os
import random

SIZE = 280
HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources", "mascot")

FUR = "#F2A65A"
FUR_LIGHT = "#FFD8A8"
FUR_DARK = "#C9712E"
OUTLINE = "#6B3A17"
INK = "#2B2140"
CHEEK = "#FF8FA3"


def fluffy_path(cx, cy, rx, ry, tufts, depth, seed, start=0.0):
    """A closed outline of outward tufts around an ellipse: fur, not a circle."""
    rnd = random.Random(seed)
    points = []
    for i in range(tufts + 1):
        a = start + 2 * math.pi * i / tufts
        points.append((cx + rx * math.cos(a), cy + ry * math.sin(a), a))
    d = f"M {points[0][0]:.1f} {points[0][1]:.1f} "
    for i in range(tufts):
        x0, y0, a0 = points[i]
        x1, y1, a1 = points[i + 1]
        am = (a0 + a1) / 2 + rnd.uniform(-0.04, 0.04)
        k = 1 + depth * rnd.uniform(0.75, 1.25)
        qx = cx + rx * k * math.cos(am)
        qy = cy + ry * k * math.sin(am)
        d += f"Q {qx:.1f} {qy:.1f} {x1:.1f} {y1:.1f} "
    return d + "Z"


def fur_strokes(cx, cy, rx, ry, seed, count=14):
    """Short curved strokes inside the body that suggest pile."""
    rnd = random.Random(seed)
    out = []
    for _ in range(count):
        a = rnd.uniform(0, 2 * math.pi)
        r = rnd.uniform(0.55, 0.86)
        x = cx + rx * r * math.cos(a)
        y = cy + ry * r * math.sin(a)
        if abs(x - cx) < rx * 0.5 and cy - ry * 0.25 < y < cy + ry * 0.45:
            continue  # keep the face clear
        dx = 7 * math.cos(a)
        dy = 7 * math.sin(a)
        out.append(f'<path d="M {x:.1f} {y:.1f} q {dx * 0.5 - dy * 0.4:.1f} {dy * 0.5 + dx * 0.4:.1f} '
                   f'{dx:.1f} {dy:.1f}" stroke="{FUR_DARK}" stroke-width="2.4" fill="none" '
                   f'stroke-linecap="round" opacity="0.55"/>')
    return "\n".join(out)


def limb(cx, cy, rx, ry, angle, seed):
    return (f'<g transform="rotate({angle:.1f} {cx:.1f} {cy:.1f})">'
            f'<path d="{fluffy_path(cx, cy, rx, ry, 9, 0.16, seed)}" fill="{FUR}" stroke="{OUTLINE}" '
            f'stroke-width="4" stroke-linejoin="round"/></g>')


def eye(x, y, style, look=(0, 0), scale=1.0):
    lx, ly = look
    if style == "happy":  # closed, smiling arcs
        return (f'<path d="M {x - 13:.1f} {y + 4:.1f} Q {x:.1f} {y - 14:.1f} {x + 13:.1f} {y + 4:.1f}" '
                f'stroke="{INK}" stroke-width="6" fill="none" stroke-linecap="round"/>')
    if style == "blink":
        return (f'<path d="M {x - 12:.1f} {y:.1f} Q {x:.1f} {y + 7:.1f} {x + 12:.1f} {y:.1f}" '
                f'stroke="{INK}" stroke-width="6" fill="none" stroke-linecap="round"/>')
    rx, ry = 16 * scale, 19 * scale
    return (f'<ellipse cx="{x}" cy="{y}" rx="{rx:.1f}" ry="{ry:.1f}" fill="white" stroke="{OUTLINE}" stroke-width="3.5"/>'
            f'<circle cx="{x + lx:.1f}" cy="{y + ly:.1f}" r="{10 * scale:.1f}" fill="{INK}"/>'
            f'<circle cx="{x + lx + 3.5:.1f}" cy="{y + ly - 4:.1f}" r="{3.8 * scale:.1f}" fill="white"/>')


def mouth(x, y, style):
    if style == "smile":
        return (f'<path d="M {x - 11} {y} Q {x} {y + 10} {x + 11} {y}" stroke="{INK}" stroke-width="4.5" '
                f'fill="none" stroke-linecap="round"/>')
    if style == "grin":
        return (f'<path d="M {x - 17} {y - 3} Q {x} {y + 26} {x + 17} {y - 3} Z" fill="{INK}" stroke="{INK}" '
                f'stroke-width="3" stroke-linejoin="round"/>'
                f'<path d="M {x - 8} {y + 10} Q {x} {y + 4} {x + 8} {y + 10} Q {x} {y + 17} {x - 8} {y + 10} Z" '
                f'fill="#FF6F86"/>')
    if style == "tongue":  # concentrating
        return (f'<path d="M {x - 10} {y} Q {x} {y + 6} {x + 10} {y}" stroke="{INK}" stroke-width="4.5" '
                f'fill="none" stroke-linecap="round"/>'
                f'<path d="M {x + 2} {y + 3} q 5 9 10 1" fill="#FF6F86" stroke="{INK}" stroke-width="2.5"/>')
    if style == "o":
        return f'<ellipse cx="{x}" cy="{y + 3}" rx="6" ry="7.5" fill="{INK}"/>'
    if style == "hmm":
        return (f'<path d="M {x - 10} {y + 3} L {x + 9} {y}" stroke="{INK}" stroke-width="4.5" '
                f'stroke-linecap="round"/>')
    if style == "wavy":
        return (f'<path d="M {x - 15} {y + 3} q 5 -7 10 0 t 10 0 t 10 0" stroke="{INK}" stroke-width="4.5" '
                f'fill="none" stroke-linecap="round"/>')
    raise ValueError(style)


def creature(pose):
    """The whole creature; `pose` moves and shapes it."""
    dx, dy = pose.get("shift", (0, 0))
    tilt = pose.get("tilt", 0)
    squash = pose.get("squash", 1.0)
    cx, cy = 140, 160
    parts = []
    # Soft contact shadow stays on the ground.
    parts.append(f'<ellipse cx="{140 + dx * 0.5:.1f}" cy="250" rx="{62 - abs(dy) * 0.8:.1f}" ry="9" '
                 f'fill="#000" opacity="0.13"/>')
    body = []
    feet_y = 236
    for fx in (112, 168):
        body.append(f'<ellipse cx="{fx}" cy="{feet_y}" rx="20" ry="12" fill="{FUR_DARK}" stroke="{OUTLINE}" '
                    f'stroke-width="4"/>')
    # Ears: two fluffy tufts on top.
    for ex, ang in ((100, -28), (180, 28)):
        body.append(f'<g transform="rotate({ang} {ex} 96)"><path d="{fluffy_path(ex, 90, 17, 26, 8, 0.2, ex)}" '
                    f'fill="{FUR}" stroke="{OUTLINE}" stroke-width="4" stroke-linejoin="round"/>'
                    f'<ellipse cx="{ex}" cy="90" rx="7" ry="13" fill="{CHEEK}" opacity="0.75"/></g>')
    body.append(f'<path d="{fluffy_path(cx, cy, 82, 76, 26, 0.11, 7)}" fill="url(#fur)" stroke="{OUTLINE}" '
                f'stroke-width="4.5" stroke-linejoin="round"/>')
    body.append(f'<ellipse cx="{cx}" cy="{cy + 34}" rx="44" ry="30" fill="{FUR_LIGHT}" opacity="0.85"/>')
    body.append(fur_strokes(cx, cy, 82, 76, 11))
    # Face.
    look = pose.get("look", (0, 0))
    eyes = pose.get("eyes", ("open", "open"))
    scales = pose.get("eye_scale", (1.0, 1.0))
    body.append(eye(114, 148, eyes[0], look, scales[0]))
    body.append(eye(166, 148, eyes[1], look, scales[1]))
    for bx in (94, 186):
        body.append(f'<ellipse cx="{bx}" cy="177" rx="12" ry="7.5" fill="{CHEEK}" opacity="0.8"/>')
    body.append(f'<ellipse cx="140" cy="166" rx="6" ry="4.5" fill="{OUTLINE}"/>')
    body.append(mouth(140, 180, pose.get("mouth", "smile")))
    body.append(pose.get("face_extra", ""))
    for arm in pose.get("arms", []):
        body.append(limb(*arm))
    transform = (f'translate({dx} {dy}) rotate({tilt} 140 236) '
                 f'translate(140 236) scale({2 - squash:.3f} {squash:.3f}) translate(-140 -236)')
    parts.append(pose.get("behind", ""))
    parts.append(f'<g transform="{transform}">' + "\n".join(body) + "</g>")
    parts.append(pose.get("front", ""))
    return "\n".join(parts)


def document(background, pose, overlay=""):
    top, bottom = background
    return f'''<svg xmlns="http://www.w3.org/2000/svg" width="{SIZE}" height="{SIZE}" viewBox="0 0 {SIZE} {SIZE}">
<defs>
  <radialGradient id="bg" cx="50%" cy="35%" r="75%">
    <stop offset="0" stop-color="{top}"/>
    <stop offset="1" stop-color="{bottom}"/>
  </radialGradient>
  <radialGradient id="fur" cx="42%" cy="34%" r="70%">
    <stop offset="0" stop-color="#FFC98A"/>
    <stop offset="0.6" stop-color="{FUR}"/>
    <stop offset="1" stop-color="#E08A3E"/>
  </radialGradient>
</defs>
<rect width="{SIZE}" height="{SIZE}" rx="52" fill="url(#bg)"/>
{creature(pose)}
{overlay}
</svg>
'''


# ---- props -------------------------------------------------------------------

def magnifier(x, y, handle_angle):
    a = math.radians(handle_angle)
    hx1, hy1 = x + 25 * math.cos(a), y + 25 * math.sin(a)
    hx2, hy2 = x + 58 * math.cos(a), y + 58 * math.sin(a)
    return (f'<line x1="{hx1:.1f}" y1="{hy1:.1f}" x2="{hx2:.1f}" y2="{hy2:.1f}" stroke="{OUTLINE}" '
            f'stroke-width="13" stroke-linecap="round"/>'
            f'<line x1="{hx1:.1f}" y1="{hy1:.1f}" x2="{hx2:.1f}" y2="{hy2:.1f}" stroke="#8A5A2B" '
            f'stroke-width="8" stroke-linecap="round"/>'
            f'<circle cx="{x}" cy="{y}" r="25" fill="#CFEFFF" fill-opacity="0.55" stroke="#3D4A63" stroke-width="7"/>'
            f'<path d="M {x - 13} {y - 6} A 14 14 0 0 1 {x - 4} {y - 15}" stroke="white" stroke-width="5" '
            f'fill="none" stroke-linecap="round"/>')


def notepad(x, y, angle, scribble):
    return (f'<g transform="rotate({angle} {x} {y})">'
            f'<rect x="{x - 50}" y="{y - 30}" width="100" height="62" rx="7" fill="white" stroke="{OUTLINE}" '
            f'stroke-width="4"/>'
            f'<line x1="{x - 38}" y1="{y - 12}" x2="{x + 38}" y2="{y - 12}" stroke="#BFD3EA" stroke-width="3"/>'
            f'<line x1="{x - 38}" y1="{y + 4}" x2="{x + 38}" y2="{y + 4}" stroke="#BFD3EA" stroke-width="3"/>'
            f'<line x1="{x - 38}" y1="{y + 20}" x2="{x + 38}" y2="{y + 20}" stroke="#BFD3EA" stroke-width="3"/>'
            f'{scribble}</g>')


def pen(tip_x, tip_y, angle, colour="#2F6FE4"):
    """A pen whose tip is at (tip_x, tip_y), leaning back by `angle` degrees."""
    return (f'<g transform="rotate({angle} {tip_x} {tip_y})">'
            f'<path d="M {tip_x} {tip_y} l -6 -14 l 12 0 Z" fill="#3A2A1A"/>'
            f'<rect x="{tip_x - 7}" y="{tip_y - 70}" width="14" height="56" rx="4" fill="{colour}" '
            f'stroke="{OUTLINE}" stroke-width="3.5"/>'
            f'<rect x="{tip_x - 7}" y="{tip_y - 70}" width="14" height="12" rx="4" fill="#F5C542" '
            f'stroke="{OUTLINE}" stroke-width="3.5"/></g>')


def pencil(tip_x, tip_y, angle):
    return (f'<g transform="rotate({angle} {tip_x} {tip_y})">'
            f'<path d="M {tip_x} {tip_y} l -7 -16 l 14 0 Z" fill="#F3D2A2" stroke="{OUTLINE}" stroke-width="3"/>'
            f'<path d="M {tip_x} {tip_y} l -2.5 -6 l 5 0 Z" fill="#D9363E"/>'
            f'<rect x="{tip_x - 7}" y="{tip_y - 72}" width="14" height="56" fill="#E8454B" stroke="{OUTLINE}" '
            f'stroke-width="3.5"/>'
            f'<rect x="{tip_x - 7}" y="{tip_y - 84}" width="14" height="13" rx="4" fill="#FF9FB0" '
            f'stroke="{OUTLINE}" stroke-width="3.5"/></g>')


def glasses():
    return (f'<circle cx="114" cy="148" r="22" fill="none" stroke="{INK}" stroke-width="5"/>'
            f'<circle cx="166" cy="148" r="22" fill="none" stroke="{INK}" stroke-width="5"/>'
            f'<path d="M 136 146 Q 140 141 144 146" stroke="{INK}" stroke-width="5" fill="none"/>')


def sparkle(x, y, r, colour="#FFC83D"):
    return (f'<path d="M {x} {y - r} Q {x + r * 0.18} {y - r * 0.18} {x + r} {y} Q {x + r * 0.18} {y + r * 0.18} '
            f'{x} {y + r} Q {x - r * 0.18} {y + r * 0.18} {x - r} {y} Q {x - r * 0.18} {y - r * 0.18} {x} {y - r} Z" '
            f'fill="{colour}" stroke="#B9781C" stroke-width="2"/>')


def bubble(x, y, r):
    return f'<circle cx="{x}" cy="{y}" r="{r}" fill="white" stroke="#7C6FB0" stroke-width="3.5"/>'


def question(x, y, size, angle, colour="#7C5CE0"):
    return (f'<text x="{x}" y="{y}" font-family="DejaVu Sans" font-weight="bold" font-size="{size}" '
            f'fill="{colour}" stroke="white" stroke-width="3" paint-order="stroke" text-anchor="middle" '
            f'transform="rotate({angle} {x} {y})">?</text>')


def drop(x, y):
    return (f'<path d="M {x} {y} q -9 14 0 20 q 9 -6 0 -20 Z" fill="#8FD3FF" stroke="#3B7DB8" '
            f'stroke-width="2.5"/>')


# ---- the twelve frames -----------------------------------------------------------

def frames():
    out = {}
    sky = ("#EAF4FF", "#BFD8F6")
    out["VorsSearching1"] = document(sky, {
        "tilt": -5, "shift": (-4, 0), "look": (6, -2), "mouth": "o",
        "arms": [(212, 176, 16, 12, -40, 1), (64, 190, 15, 11, 20, 2)],
        "front": magnifier(214, 122, 115),
    })
    out["VorsSearching2"] = document(sky, {
        "tilt": 5, "shift": (4, 0), "look": (-6, -2), "mouth": "o",
        "arms": [(68, 176, 16, 12, 40, 3), (216, 190, 15, 11, -20, 4)],
        "front": magnifier(66, 122, 65),
    })

    mint = ("#EEFBF2", "#BFE8CD")
    pad = (140, 222)
    out["VorsWriting1"] = document(mint, {
        "look": (-2, 7), "mouth": "tongue", "shift": (0, -6),
        "arms": [(96, 214, 15, 11, 10, 5)],
        "front": notepad(*pad, -4, f'<path d="M 104 210 q 6 -8 12 0 t 12 0" stroke="{INK}" stroke-width="3" '
                                   f'fill="none" stroke-linecap="round"/>') + pen(128, 212, 48)
        + limb(146, 214, 15, 11, -10, 6),
    })
    out["VorsWriting2"] = document(mint, {
        "look": (5, 7), "mouth": "tongue", "shift": (0, -8), "tilt": 2,
        "arms": [(96, 214, 15, 11, 10, 5)],
        "front": notepad(*pad, -4, f'<path d="M 104 210 q 6 -8 12 0 t 12 0 t 12 0 t 12 0 t 12 0" stroke="{INK}" '
                                   f'stroke-width="3" fill="none" stroke-linecap="round"/>'
                                   f'<path d="M 104 226 q 6 -8 12 0" stroke="{INK}" stroke-width="3" '
                                   f'fill="none" stroke-linecap="round"/>') + pen(170, 208, 52)
        + limb(184, 212, 15, 11, -20, 6),
    })

    lavender = ("#F4F0FF", "#D6CCF5")
    out["VorsThinking"] = document(lavender, {
        "look": (6, -8), "mouth": "hmm", "tilt": -6,
        "arms": [(150, 204, 15, 11, -35, 7), (64, 196, 15, 11, 25, 8)],
        "front": bubble(214, 92, 7) + bubble(230, 68, 10),
    })
    out["VorsThinking2"] = document(lavender, {
        "look": (-3, -9), "mouth": "hmm", "tilt": 4, "shift": (0, -3),
        "arms": [(146, 200, 15, 11, -45, 7), (64, 198, 15, 11, 20, 8)],
        "front": bubble(214, 92, 7) + bubble(230, 68, 10) + bubble(242, 38, 16)
        + '<text x="242" y="44" font-family="DejaVu Sans" font-weight="bold" font-size="16" fill="#7C6FB0" '
          'text-anchor="middle">…</text>',
    })

    butter = ("#FFF9E6", "#F6E3A6")
    lines = (f'<line x1="102" y1="209" x2="178" y2="209" stroke="{INK}" stroke-width="3" opacity="0.5"/>'
             f'<line x1="102" y1="225" x2="160" y2="225" stroke="{INK}" stroke-width="3" opacity="0.5"/>')
    out["VorsEditing1"] = document(butter, {
        "look": (-4, 7), "mouth": "hmm", "shift": (0, -6), "face_extra": glasses(),
        "arms": [(96, 214, 15, 11, 10, 9)],
        "front": notepad(140, 220, 3, lines + '<path d="M 98 209 L 150 209" stroke="#E8454B" stroke-width="4" '
                                             'stroke-linecap="round"/>') + pencil(150, 208, 30)
        + limb(166, 212, 15, 11, -20, 10),
    })
    out["VorsEditing2"] = document(butter, {
        "look": (5, 7), "mouth": "smile", "shift": (0, -8), "tilt": 2, "face_extra": glasses(),
        "arms": [(96, 214, 15, 11, 10, 9)],
        "front": notepad(140, 220, 3, lines + '<path d="M 98 209 L 150 209" stroke="#E8454B" stroke-width="4" '
                                             'stroke-linecap="round"/>'
                         '<path d="M 164 222 l 7 7 l 12 -16" stroke="#2FA35A" stroke-width="5" fill="none" '
                         'stroke-linecap="round" stroke-linejoin="round"/>') + pencil(194, 204, 40)
        + limb(204, 208, 15, 11, -25, 10),
    })

    peach = ("#FFF1EA", "#FFCDB8")
    out["VorsHappy"] = document(peach, {
        "eyes": ("happy", "happy"), "mouth": "grin",
        "arms": [(58, 150, 16, 12, -50, 11), (222, 150, 16, 12, 50, 12)],
        "front": sparkle(40, 60, 14) + sparkle(236, 88, 10) + sparkle(226, 40, 7, "#FF8FA3"),
    })
    out["VorsHappy2"] = document(peach, {
        "eyes": ("happy", "happy"), "mouth": "grin", "shift": (0, -14), "squash": 1.04,
        "arms": [(64, 116, 16, 12, -20, 11), (216, 116, 16, 12, 20, 12)],
        "front": sparkle(52, 44, 9) + sparkle(238, 64, 15) + sparkle(34, 98, 8, "#FF8FA3"),
    })

    mist = ("#F0F3F8", "#CBD5E4")
    out["VorsConfused1"] = document(mist, {
        "tilt": -8, "look": (-3, -4), "mouth": "wavy", "eye_scale": (1.15, 0.85),
        "face_extra": f'<path d="M 150 118 L 180 110" stroke="{OUTLINE}" stroke-width="5" stroke-linecap="round"/>',
        "arms": [(68, 196, 15, 11, 25, 13), (210, 128, 15, 11, -40, 14)],
        "front": question(226, 80, 64, 12) + drop(196, 156),
    })
    out["VorsConfused2"] = document(mist, {
        "tilt": 8, "look": (3, -4), "mouth": "wavy", "eye_scale": (0.85, 1.15),
        "face_extra": f'<path d="M 100 110 L 130 118" stroke="{OUTLINE}" stroke-width="5" stroke-linecap="round"/>',
        "arms": [(212, 196, 15, 11, -25, 13), (70, 128, 15, 11, 40, 14)],
        "front": question(58, 86, 64, -12) + question(234, 62, 34, 14, "#A48BF0") + drop(84, 156),
    })
    return out


if __name__ == "__main__":
    for name, svg in frames().items():
        with open(os.path.join(HERE, name + ".svg"), "w", encoding="utf-8") as f:
            f.write(svg)
