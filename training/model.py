"""The voice network and its weightless synthesizer.

ids -> embedding -> residual conv encoder -> durations (log(1 + frames))
    -> expansion to frames (scatter + cumulative sum: memory grows with frames)
    -> frame convs -> log-f0 -> f0 fed back -> frame convs
    -> harmonic and noise spectral envelopes (times a learned silence gate)
    -> STFT-domain synthesis: band-limited pulse train at f0 and Gaussian noise,
       shaped per frame, inverse DFT, overlap-add.

`Voice.forward` is the inference graph exported to ONNX; training uses
`encode`, `frames`, `decode` and `synthesize` on windows of frames.
"""

import math
from typing import List

import torch
import torch.nn as nn
import torch.nn.functional as F

# A frame: durations, f0 and the gate are counted in frames of HOP samples.
HOP = 256
NOMINAL_NOISE = 0.667  # noise scale the voice is trained at
LF0_MEAN, LF0_STD = math.log(120.0), 0.3
# At inference a frame whose gate lies at or below the floor is silent (no
# noise floor in pauses); above it the gate scales the frame. A floor of 0.5
# also silences weak consonants the gate is unsure of (HTS slt's f, th, p, k):
# a voice's floor is chosen at export (training/export.py --gate-floor).
GATE_FLOOR = 0.5
# Frames synthesized per step of the exported graph (~12-16 s of audio): the
# sample-level tensors, ~10 kB a frame together, are what a long request's
# peak memory was made of.
SYNTH_CHUNK = 1024


def head_split(rows):
    """Synthesis windows per frame of an envelope head with `rows` outputs:
    two envelopes of HOP / split + 1 bins for each of split windows."""
    return rows // 2 - HOP


class ChannelNorm(nn.Module):
    """Layer norm over the channel axis of [B, C, T]."""

    def __init__(self, channels, eps=1e-5):
        super().__init__()
        self.gamma = nn.Parameter(torch.ones(1, channels, 1))
        self.beta = nn.Parameter(torch.zeros(1, channels, 1))
        self.eps = eps

    def forward(self, x):
        mean = x.mean(dim=1, keepdim=True)
        var = ((x - mean) ** 2).mean(dim=1, keepdim=True)
        return (x - mean) / torch.sqrt(var + self.eps) * self.gamma + self.beta


class Block(nn.Module):
    def __init__(self, channels, kernel, dilation, dropout):
        super().__init__()
        self.norm = ChannelNorm(channels)
        self.conv = nn.Conv1d(channels, channels, kernel, dilation=dilation,
                              padding=dilation * (kernel - 1) // 2)
        self.drop = nn.Dropout(dropout)

    def forward(self, x, mask):
        # Masked before the conv too, so padding reads as zeros like a sequence's own edge.
        return x + self.drop(self.conv(F.gelu(self.norm(x)) * mask)) * mask


class Stack(nn.Module):
    def __init__(self, channels, dilations, kernel=5, dropout=0.0):
        super().__init__()
        self.blocks = nn.ModuleList([Block(channels, kernel, d, dropout) for d in dilations])

    def forward(self, x, mask):
        for b in self.blocks:
            x = b(x, mask)
        return x


class Voice(nn.Module):
    """n_speakers > 1 adds a speaker embedding (phoneme and frame level) and the
    "sid" input; gate adds a per-frame silence gate on both envelopes, so pauses
    are silent rather than a faint noise floor."""

    def __init__(self, n_symbols, channels=160, sample_rate=22050, n_speakers=1, gate=False, split=1):
        super().__init__()
        c = channels
        self.sample_rate = sample_rate
        # The synthesizer's windows are HOP / split samples apart (and twice that
        # long): the network still speaks in frames, its head gives each frame
        # `split` envelopes. Shorter windows smear consonants and onsets less.
        if split < 1 or HOP % split:
            raise ValueError("split must divide %d" % HOP)
        self.split = split
        self.syn_hop = HOP // split
        self.nfft = 2 * self.syn_hop
        self.nbins = self.syn_hop + 1
        self.n_speakers = n_speakers
        self.gate = gate
        self.gate_floor = GATE_FLOOR
        # Inference only: frames per symbol id that a phoneme lasts at least
        # (before the length scale), or None. Set at export (export.py
        # --clause-pause): a teacher that runs on over a comma leaves the voice
        # none, and a listener expects one.
        self.min_frames = None
        self.embed = nn.Embedding(n_symbols, c)
        if n_speakers > 1:
            self.spk = nn.Embedding(n_speakers, c)
            self.spk_frame = nn.Embedding(n_speakers, c)
        if gate:
            self.gate_head = nn.Conv1d(c, 1, 1)
        self.encoder = Stack(c, [1, 2, 4, 1], dropout=0.1)
        self.dur = nn.ModuleList([nn.Conv1d(c, 128, 3, padding=1), nn.Conv1d(128, 128, 3, padding=1),
                                  nn.Conv1d(128, 1, 1)])
        self.dur_drop = nn.Dropout(0.3)
        self.frame_in = nn.Conv1d(2, c, 1)
        self.pre = Stack(c, [1, 2, 4])
        self.f0_head = nn.Conv1d(c, 1, 1)
        self.f0_in = nn.Conv1d(1, c, 1)
        self.post = Stack(c, [1, 2, 4, 1])
        self.post_norm = ChannelNorm(c)
        # Rows: harmonic then noise; within each, window by window, bin by bin.
        n = split * self.nbins
        self.env_head = nn.Conv1d(c, 2 * n, 1)
        with torch.no_grad():
            self.env_head.bias[:n] = -2.0
            self.env_head.bias[n:] = -6.0

    # -- phoneme level ----------------------------------------------------------

    def encode(self, ids, mask, sid=None):
        """ids [B, N], mask [B, 1, N], speakers [B] -> hidden [B, C, N], log(1 + frames) [B, N]."""
        h = self.embed(ids).transpose(1, 2)
        if self.n_speakers > 1:
            h = h + self.spk(sid).unsqueeze(2)
        h = h * mask
        h = self.encoder(h, mask)
        d = h.detach()
        for conv in self.dur[:-1]:
            d = self.dur_drop(F.gelu(conv(d))) * mask
        logd = self.dur[-1](d).squeeze(1) * mask.squeeze(1)
        return h, logd

    # -- frame level ------------------------------------------------------------

    def decode_pre(self, h_frames, feats, sid=None):
        """Gathered hidden [B, C, T] plus (position, log duration) [B, 2, T]."""
        x = h_frames + self.frame_in(feats)
        if self.n_speakers > 1:
            x = x + self.spk_frame(sid).unsqueeze(2)
        ones = torch.ones_like(x[:, :1])
        x = self.pre(x, ones)
        lf0 = self.f0_head(x).squeeze(1) * LF0_STD + LF0_MEAN
        return x, lf0, ones

    def decode_post(self, x, lf0, ones, speaking=None):
        """speaking [B, 1, T], at inference: 0 on frames the gate must leave silent."""
        x = x + self.f0_in(((lf0 - LF0_MEAN) / LF0_STD).unsqueeze(1))
        x = self.post(x, ones)
        x = F.gelu(self.post_norm(x))
        henv = self._envelope(x, 0)
        nenv = self._envelope(x, 1)
        if not self.gate:
            return henv, nenv, None
        logit = self.gate_head(x)                                                 # [B, 1, T]
        g = torch.sigmoid(logit)
        if not self.training:
            # A frame the gate calls silent is silent: no noise floor in pauses.
            g = g * (g > self.gate_floor).to(g.dtype)
            if speaking is not None:
                g = g * speaking
        g = self.per_window(g)
        return henv * g, nenv * g, logit.squeeze(1)

    def _envelope(self, x, half):
        """Envelope `half` (0 harmonic, 1 noise) of frames x [B, C, T] as
        magnitudes [B, bins, T * split]. Two convs on the halves of the head
        rather than one and a split, and a strided transposed conv that writes
        a frame's windows in time order: either alternative copies a
        frames-sized tensor. The clamp keeps an untrained voice finite."""
        n = self.split * self.nbins
        w = self.env_head.weight[half * n:(half + 1) * n]
        b = self.env_head.bias[half * n:(half + 1) * n]
        if self.split == 1:
            y = F.conv1d(x, w, b)
        else:
            wt = w.reshape(self.split, self.nbins, -1).permute(2, 1, 0)        # [C, bins, split]
            y = F.conv_transpose1d(x, wt, stride=self.split)
            bias = b.reshape(self.split, self.nbins).t().reshape(1, self.nbins, 1, self.split)
            y = (y.reshape(y.shape[0], self.nbins, -1, self.split) + bias).reshape(y.shape)
        return torch.exp(torch.clamp(y, -30.0, 8.0))

    def per_window(self, frames):
        """[B, K, T] per frame -> [B, K, T * split] per synthesis window."""
        if self.split == 1:
            return frames
        b, k, t = frames.shape
        return frames.unsqueeze(3).expand(b, k, t, self.split).reshape(b, k, t * self.split)

    def window_f0(self, f0):
        """f0 [B, T] per frame -> per synthesis window, on the straight line to
        the next frame's: the pulse train is the one a frame's chirp gives."""
        if self.split == 1:
            return f0
        nxt = torch.cat([f0[:, 1:], f0[:, -1:]], dim=1)
        at = torch.arange(self.split, dtype=f0.dtype, device=f0.device) / self.split
        return (f0.unsqueeze(2) + (nxt - f0).unsqueeze(2) * at).reshape(f0.shape[0], -1)

    # -- synthesis --------------------------------------------------------------

    def _dft(self, like):
        """Real DFT matrices with the sqrt-Hann window folded in, built in the graph
        from integer index products (exact angles). Folding the window and
        stacking the inverse keep the number of frames-sized tensors low."""
        nfft, nbins = self.nfft, self.nbins
        n = torch.arange(nfft, device=like.device)
        k = torch.arange(nbins, device=like.device)
        nk = torch.remainder(n.unsqueeze(1) * k.unsqueeze(0), nfft).to(like.dtype)
        ang = nk * (2.0 * math.pi / nfft)
        cos, sin = torch.cos(ang), torch.sin(ang)  # [nfft, nbins]
        window = torch.sqrt(0.5 - 0.5 * torch.cos(n.to(like.dtype) * (2.0 * math.pi / nfft)))
        fwd_re = cos * window.unsqueeze(1)
        fwd_im = -sin * window.unsqueeze(1)
        wk = torch.full((nbins,), 2.0, dtype=like.dtype, device=like.device)
        wk = torch.cat([wk[:1] * 0.5, wk[1:-1], wk[:1] * 0.5]) / nfft
        inverse = torch.cat([(cos * wk).transpose(0, 1), -(sin * wk).transpose(0, 1)], dim=0)
        return fwd_re, fwd_im, inverse * window.unsqueeze(0)  # [nfft, nbins] x2, [2 nbins, nfft]

    def synthesize(self, f0, henv, nenv, noise_amp, chunk=0):
        """f0 [B, W] Hz and envelopes [B, bins, W] per synthesis window (see
        window_f0) -> audio [B, W * syn_hop]. chunk > 0 synthesizes that many
        windows at a time (the exported graph loops over them), so the
        sample-level tensors of a long request never exist whole; chunk 0 does
        all of them in one step."""
        f0 = torch.clamp(f0, 30.0, 1000.0)
        f0_next = torch.cat([f0[:, 1:], f0[:, -1:]], dim=1)
        sr = float(self.sample_rate)
        two_pi = 2.0 * math.pi
        # Phase at each frame's start, wrapped (one long sample-level sum drifts
        # between runtimes). A frames-sized sum, cheap beside the samples.
        inc = torch.remainder((two_pi / sr) * self.syn_hop * 0.5 * (f0 + f0_next), two_pi)
        start = torch.remainder(torch.cumsum(inc, dim=1) - inc, two_pi)
        fwd_re, fwd_im, inverse = self._dft(f0)
        amp = noise_amp if torch.is_tensor(noise_amp) else torch.tensor(float(noise_amp), dtype=f0.dtype)
        if chunk <= 0:
            return synthesize_frames(f0, f0_next, start, henv, nenv, amp, fwd_re, fwd_im, inverse, sr,
                                     0, f0.shape[1])
        return synthesize_in_chunks(f0, f0_next, start, henv, nenv, amp, fwd_re, fwd_im, inverse, sr, chunk)

    # -- inference graph --------------------------------------------------------

    def forward(self, input, input_lengths, scales, sid=None):
        """The model interface: ids [1, N], their count [1], scales [3] (noise
        scale, length scale, noise width), speaker [1] for a multi-speaker voice
        -> waveform [1, 1, T]."""
        if self.n_speakers > 1:
            sid = torch.clamp(sid, 0, self.n_speakers - 1)
        noise_scale, length_scale, noise_w = scales[0], scales[1], scales[2]
        n = input.shape[1]
        pos = torch.arange(n, device=input.device).unsqueeze(0)
        valid = (pos < input_lengths.unsqueeze(1))                                 # [1, N]
        ids = input * valid.long()
        mask = valid.unsqueeze(1).to(torch.float32)
        h, logd = self.encode(ids, mask, sid)
        logd = logd + 0.1 * noise_w * torch.randn_like(logd)
        d = torch.clamp(torch.exp(logd) - 1.0, min=0.0)
        if self.min_frames is not None:
            d = torch.maximum(d, self.min_frames[ids])
        d = d * length_scale
        d = torch.round(d) * valid.to(torch.float32)
        d = d[0].long()                                                           # [N]
        # At least one frame, so an unlucky request still gives a waveform.
        d = torch.cat([torch.clamp(d[:1], min=1), d[1:]])
        ends = torch.cumsum(d, 0)
        total = ends[-1]
        t = torch.arange(total, device=input.device)                              # [T]
        hits = (ends < total).long()
        marks = torch.zeros_like(t).scatter_add(0, torch.clamp(ends, max=total - 1), hits)
        idx = torch.cumsum(marks, 0)                                              # phoneme of each frame
        dsel = torch.gather(d, 0, idx).to(torch.float32)
        start = torch.gather(ends - d, 0, idx)
        frac = ((t - start).to(torch.float32) + 0.5) / torch.clamp(dsel, min=1.0)
        feats = torch.stack([frac, torch.log1p(dsel)], dim=0).unsqueeze(0)        # [1, 2, T]
        h_frames = torch.index_select(h, 2, idx)                                  # [1, C, T]
        x, lf0, ones = self.decode_pre(h_frames, feats, sid)
        jitter = 0.03 * noise_scale * torch.randn_like(logd)                       # per phoneme
        lf0 = lf0 + torch.index_select(jitter, 1, idx)
        # The first id is "^", whose frames learned the teacher's leading
        # silence; a gate unsure there (as at a low floor) starts the request
        # with a click. Applied to the gate, not the envelopes: no copies.
        henv, nenv, _ = self.decode_post(x, lf0, ones, (idx > 0).to(lf0.dtype).view(1, 1, -1))
        audio = self.synthesize(self.window_f0(torch.exp(lf0)), henv, nenv, noise_scale / NOMINAL_NOISE,
                                SYNTH_CHUNK * self.split)
        return audio.unsqueeze(1)


def frame_features(durs, start, length):
    """Training-side expansion for one utterance window (numpy-free torch):
    phoneme index, position in phoneme and log duration of frames start..start+length-1,
    clamped into the utterance (before it is "^", after it "$")."""
    ends = torch.cumsum(durs, 0)
    total = int(ends[-1])
    t = torch.arange(start, start + length)
    tc = torch.clamp(t, 0, max(total - 1, 0))
    idx = torch.searchsorted(ends, tc, right=True).clamp(max=len(durs) - 1)
    d = durs[idx].float()
    st = (ends - durs)[idx]
    frac = ((tc - st).float() + 0.5) / torch.clamp(d, min=1.0)
    return idx, frac, torch.log1p(d)


def synthesize_frames(f0, f0_next, start, henv, nenv, noise_amp, fwd_re, fwd_im, inverse,
                      sr: float, s: int, e: int):
    """Audio of windows s..e-1 [B, (e - s) * hop] of the whole request's f0
    [B, T] (clamped), the next window's f0, phases at window starts and envelopes
    [B, bins, T]: exactly that slice of the one-step synthesis. Windows s..e
    are needed (overlap-add), so pulses s-1..e, zero outside the request."""
    t_all = f0.shape[1]
    hop = inverse.shape[1] // 2  # globals are not constants to the script compiler
    two_pi = 2.0 * math.pi
    p = torch.arange(s - 1, e + 1, device=f0.device)                          # pulses
    inside = ((p >= 0) & (p < t_all)).to(f0.dtype).view(1, -1, 1)
    pc = torch.clamp(p, 0, t_all - 1)
    a = torch.index_select(f0, 1, pc).unsqueeze(2)
    b = torch.index_select(f0_next, 1, pc).unsqueeze(2)
    n = torch.arange(hop, device=f0.device).to(f0.dtype)
    inner = (two_pi / sr) * (a * n + (b - a) * n * n / (2.0 * hop))            # [B, P, hop]
    phase = torch.remainder(inner + torch.index_select(start, 1, pc).unsqueeze(2), two_pi)
    k = torch.floor(0.45 * sr / torch.maximum(a, b))                           # [B, P, 1]
    # Band-limited pulse train, sum_{h=1..k} cos(h phase), in closed form.
    half = torch.sin(0.5 * phase)
    near = torch.abs(half) < 1e-3
    safe = torch.where(near, torch.ones_like(half), half)
    pulse = torch.sin((k + 0.5) * phase) / (2.0 * safe) - 0.5
    pulse = torch.where(near, k.expand_as(pulse), pulse)
    rows = pulse / torch.sqrt(k) * inside                                      # [B, P, hop]
    frames = torch.cat([rows[:, :-1], rows[:, 1:]], dim=2)                     # [B, W, 2 hop]
    hre = torch.matmul(frames, fwd_re)
    him = torch.matmul(frames, fwd_im)
    # Window j's envelope: the mean of frames j-1 and j, the ends repeated.
    w = torch.arange(s, e + 1, device=f0.device)
    before = torch.clamp(w - 1, 0, t_all - 1)
    at = torch.clamp(w, 0, t_all - 1)
    he = 0.5 * (torch.index_select(henv, 2, before) + torch.index_select(henv, 2, at)).transpose(1, 2)
    yre = hre * he
    yim = him * he
    # sqrt-Hann framed white noise of unit variance has this spectral scale.
    ne = 0.5 * (torch.index_select(nenv, 2, before) + torch.index_select(nenv, 2, at)).transpose(1, 2)
    nes = ne * (math.sqrt(hop / 2.0) * noise_amp)
    yre = yre + torch.randn_like(yre) * nes
    yim = yim + torch.randn_like(yim) * nes
    y = torch.matmul(torch.cat([yre, yim], dim=2), inverse)                    # [B, W, 2 hop]
    out = y[:, :-1, hop:] + y[:, 1:, :hop]                                     # [B, e - s, hop]
    return out.reshape(out.shape[0], -1)


@torch.jit.script
def synthesize_in_chunks(f0, f0_next, start, henv, nenv, noise_amp, fwd_re, fwd_im, inverse,
                         sr: float, chunk: int):
    """synthesize_frames over chunk frames at a time; scripted, so that the
    export keeps the loop (a trace would unroll it for one length)."""
    t_all = f0.size(1)
    pieces: List[torch.Tensor] = []
    for i in range((t_all + chunk - 1) // chunk):
        s = i * chunk
        e = min(s + chunk, t_all)
        pieces.append(synthesize_frames(f0, f0_next, start, henv, nenv, noise_amp, fwd_re, fwd_im,
                                        inverse, sr, s, e))
    return torch.cat(pieces, dim=1)
