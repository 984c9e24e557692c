"""Random rule sources and files that exercise them."""
import random

ALPHABET = "abcXYZ019-_. "


def random_database_source(rng: random.Random, signatures: int = 12, rules: int = 8):
    """Source of a random database, and the patterns its signatures look for."""
    patterns = []
    lines = []
    for index in range(signatures):
        text = "".join(rng.choice(ALPHABET) for _ in range(rng.randint(3, 9)))
        options = " ".join(o for o in ("exact", "wide") if rng.random() < 0.4)
        patterns.append(text)
        lines.append(f'signature s{index} {options} = "{text}";')
    for index in range(rules):
        lines.append(f"rule Random.Rule{index} report = {random_expression(rng, signatures, 3)};")
    return "\n".join(lines) + "\n", patterns


def random_expression(rng: random.Random, signatures: int, depth: int) -> str:
    if depth == 0 or rng.random() < 0.3:
        return rng.choice([f"s{rng.randrange(signatures)}", f"s{rng.randrange(signatures)}", "0.3", "0.6"])
    operator = rng.choice([" and ", " or ", " + ", " * ", " - "])
    operands = [random_expression(rng, signatures, depth - 1) for _ in range(rng.randint(2, 3))]
    text = "(" + operator.join(operands) + ")"
    return f"(not {text})" if rng.random() < 0.15 else text


def random_file(rng: random.Random, patterns, size: int) -> bytes:
    """Noise with some patterns inside: plain, other-case, or UTF-16LE."""
    out = bytearray(rng.randbytes(size))
    for _ in range(rng.randint(0, 6)):
        text = rng.choice(patterns)
        form = rng.random()
        if form < 0.3:
            text = text.swapcase()
        data = text.encode("utf-16-le") if form > 0.7 else text.encode("latin-1")
        at = rng.randrange(max(1, len(out)))
        out[at:at] = data
    return bytes(out)
