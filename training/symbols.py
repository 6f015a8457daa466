"""The voice's phoneme-id map and the id encoding the library applies with it.

One id per code point: "_" (pad) 0, "^" (start) 1, "$" (end) 2, then every code
point seen in the training data, in code-point order. A code point the map
does not know is skipped by the library, pad included; encode() does the same.
"""

PAD, BOS, EOS = "_", "^", "$"


def build_map(codepoints):
    table = {PAD: [0], BOS: [1], EOS: [2]}
    nxt = 3
    for cp in sorted(set(codepoints)):
        ch = chr(cp)
        if ch in table:
            continue
        table[ch] = [nxt]
        nxt += 1
    return table


def encode(codepoints, table):
    """`^ _ (phoneme _)* $` with the ids of the map; code points without a row
    (or with no ids) leave no trace."""
    out = list(table.get(BOS, [])) + list(table.get(PAD, []))
    for cp in codepoints:
        ids = table.get(chr(cp), [])
        if ids:
            out.extend(ids)
            out.extend(table.get(PAD, []))
    out.extend(table.get(EOS, []))
    return out
