"""The least-squares fit of :func:`tavrix.pruning.recover.collect` (``method="lstsq"``).

One :class:`LeastSquares` per consumer accumulates, batch by batch, what the ridge-damped fit

    [W'_K, b'] = [W_K, b] + W_R . G_R,K1 . (G_K1,K1 + damping)^-1

needs (K1: the kept inputs and a constant one), then solves it in float64, in one of two forms
that give the same result:

- the normal equations (*primal*): the products of all inputs with the kept ones (about the
  first batch's mean where the rows are formed), then a Cholesky factorisation of the kept
  inputs' covariance with the bias eliminated; what it costs grows with the inputs' width;
- the *dual* (kernel) form, while the calibration rows are fewer than about half the kept
  inputs' width (the deep, narrow-image convolutions of a CNN, a short text through a wide
  layer): the inputs themselves are kept and the fit is solved on the centred rows' rows x rows
  product; what it costs grows with the rows. Its products that the solve does not amplify
  (the removed inputs through their weights, the kept inputs times the solution) are formed in
  the inputs' precision on rows centred in float64.

Only W_R . G_R,K1 enters the fit, so a consumer with few outputs for its inputs accumulates,
where that takes fewer multiplies, the kept inputs' products with T = x_R . W_R^T (what the
removed inputs add to the fitted outputs) instead of their products with the removed inputs;
a convolution of stride 1 gets them as the weight gradient of the convolution of the removed
inputs, T about its first batch's mean.

A convolution of stride 1 with a k x k kernel has an unfolded Gram matrix whose tap blocks are
shifted copies of one another: the block of taps t, u sums x(p) x(p + off(u) - off(t)) over
the input positions tap t reads. It is accumulated from one channels x channels product per
distinct offset on the unpadded input (laid out with zero gaps wide enough for every shift, so
that a shift is a plain row offset into one matrix), less the input's border rows and columns
that a tap's window leaves out: ((2k - 1)^2 + 1) / 2 products of the input's size (13 for a
3 x 3 kernel) instead of the (k*k)^2 (81) the unfolded input's Gram matrix holds.
"""

from __future__ import annotations

import math
from typing import List, Optional, Sequence, Tuple, Union

import torch
import torch.nn.functional as F
from torch import nn
from torch.nn.grad import conv2d_weight
from torch.nn.modules.conv import _ConvNd

__all__ = ["Layer", "LeastSquares", "kernel_taps", "unfold"]

_Pair = Tuple[int, int]
#: the layers the fit serves: linear layers and (non-transposed) convolutions
Layer = Union[nn.Linear, _ConvNd]


def kernel_taps(module: Layer) -> int:
    """The taps of a layer's kernel (1 for a linear layer)."""
    if isinstance(module, nn.Linear):
        return 1
    return math.prod(module.kernel_size)


def _unpadded(module: _ConvNd) -> bool:
    padding = module.padding
    return padding == "valid" if isinstance(padding, str) else not any(padding)


def _padding(module: _ConvNd, kernel: _Pair, dilation: _Pair) -> _Pair:
    """A convolution's zero padding per axis of its 2-d form."""
    padding = module.padding
    if isinstance(padding, str):
        if padding == "valid":
            return (0, 0)
        # "same", of stride 1: the padding torch computes
        if any((d * (k - 1)) % 2 for d, k in zip(dilation, kernel)):
            raise ValueError("uneven 'same' padding is not supported")
        return (dilation[0] * (kernel[0] - 1) // 2, dilation[1] * (kernel[1] - 1) // 2)
    return (0, padding[0]) if len(padding) == 1 else (padding[0], padding[1])


def _geometry(module: _ConvNd, x: torch.Tensor) -> Tuple[torch.Tensor, _Pair, _Pair, _Pair, _Pair]:
    """A 1-d or 2-d convolution's input as a 2-d one (padded here unless its padding is zeros)
    with its kernel, dilation, zero padding and stride."""
    explicit = module.padding_mode != "zeros"
    if explicit:
        x = F.pad(x, module._reversed_padding_repeated_twice, mode=module.padding_mode)
    kernel, dilation, stride = module.kernel_size, module.dilation, module.stride
    if isinstance(module, nn.Conv1d):
        x = x.unsqueeze(2)
        kernel, dilation, stride = (1, *kernel), (1, *dilation), (1, *stride)
    kernel2, dilation2 = (kernel[0], kernel[1]), (dilation[0], dilation[1])
    padding = (0, 0) if explicit else _padding(module, kernel2, dilation2)
    return x, kernel2, dilation2, padding, (stride[0], stride[1])


def unfold(module: Layer, x: torch.Tensor, taps: int) -> torch.Tensor:
    """The inputs a layer's output positions read, one row per position: (M, C*taps); with
    ``taps`` 1 on a convolution with a kernel, one row per input position (M, C)."""
    if isinstance(module, nn.Linear):
        return x.reshape(-1, x.shape[-1])
    if taps == 1 and kernel_taps(module) > 1:
        return x.movedim(1, -1).reshape(-1, x.shape[1])
    if taps == 1 and (isinstance(module, nn.Conv3d) or _unpadded(module)):
        # unpadded pointwise (the only 3-d convolutions that reach here): a row per position read
        x = x[(slice(None), slice(None), *(slice(None, None, s) for s in module.stride))]
        return x.movedim(1, -1).reshape(-1, x.shape[1])
    x, kernel, dilation, padding, stride = _geometry(module, x)
    columns = F.unfold(x, kernel, dilation=dilation, padding=padding, stride=stride)
    return columns.transpose(1, 2).reshape(-1, columns.shape[1])


def _rows_of(module: Layer, x: torch.Tensor, taps: int) -> int:
    """How many rows :func:`unfold` makes of ``x`` (without making them)."""
    if isinstance(module, nn.Linear):
        return x.numel() // x.shape[-1]
    if taps == 1 and kernel_taps(module) > 1:
        return x.numel() // x.shape[1]
    count = x.shape[0]
    padding = module.padding
    for axis, size in enumerate(x.shape[2:]):
        kernel, dilation, stride = (
            module.kernel_size[axis],
            module.dilation[axis],
            module.stride[axis],
        )
        if padding == "same":  # stride 1
            count *= size
            continue
        total = 0 if isinstance(padding, str) else 2 * padding[axis]
        count *= (size + total - dilation * (kernel - 1) - 1) // stride + 1
    return count


def _spd_solve(a: torch.Tensor, b: torch.Tensor) -> torch.Tensor:
    """a^-1 b for a symmetric a: Cholesky, or the least-norm fit when a is singular."""
    factor, info = torch.linalg.cholesky_ex(a)
    if int(info) == 0:
        return torch.cholesky_solve(b, factor)
    return torch.linalg.lstsq(a.cpu(), b.cpu(), driver="gelsd").solution.to(a.device)


def _dual_pays(rows: int, kept: int, targets: int) -> bool:
    """Whether solving on the rows costs less than on the Gram matrix (float64 multiplies)."""
    dual = rows * rows * (kept + targets) + rows * kept * targets + rows**3 / 3
    return dual < kept**3 / 3 + kept * kept * targets


def _targets_pay(kept: int, removed: int, taps: int, outputs: int, shifted: bool) -> bool:
    """Whether the kept inputs' products with the removed ones' share of the outputs cost less
    than their products with the removed inputs (multiplies per row)."""
    if outputs == 0:
        return False
    if shifted:  # every pair of channels per offset, against the kept ones' and a convolution
        channels = kept + removed
        return 13 * (channels**2 - kept**2) > 2 * taps * outputs * channels
    return outputs * (kept + removed) < removed * kept * taps


def _blocks(size: int) -> List[_Pair]:
    """Up to four column blocks of a symmetric product, each at least 128 wide."""
    count = max(1, min(4, size // 128))
    edges = [size * i // count for i in range(count + 1)]
    return list(zip(edges[:-1], edges[1:]))


def _window(start: int, length: int, size: int) -> _Pair:
    """The positions of an axis of ``size`` that a window [start, start + length) covers."""
    return max(0, start), min(size, start + length)


def _border(windows: Sequence[_Pair], size: int) -> Tuple[List[int], List[_Pair]]:
    """The positions of an axis that not every window covers, and their spans (in order)."""
    first, last = max(lo for lo, _ in windows), min(hi for _, hi in windows)
    spans = [(0, first), (last, size)] if first < last else [(0, size)]
    spans = [(a, b) for a, b in spans if a < b]
    return [p for a, b in spans for p in range(a, b)], spans


class LeastSquares:
    """One consumer's least-squares statistics: :meth:`add` per batch, then :meth:`solve`.

    ``kept`` and ``removed`` are input channels (weight columns); ``taps`` is the kernel's
    (unfolded fit) or 1 (each input position a row, the fit shared by every tap); ``targets``
    is the width of what is fitted (output rows with a projection, else the removed inputs)
    and ``max_bytes`` bounds what is held between batches: the inputs kept for the dual form
    and, once they are turned into them, the products. ``weight`` (unfolded fits: the removed
    inputs' weight columns on the fitted output rows) lets the products be taken with the
    removed inputs' share of those outputs where that costs less; :meth:`solve` is then given
    the same projection, ``weight`` flattened and transposed.
    """

    def __init__(
        self,
        module: Layer,
        kept: Sequence[int],
        removed: Sequence[int],
        taps: int,
        damping: float,
        targets: int,
        max_bytes: int,
        weight: Optional[torch.Tensor] = None,
    ) -> None:
        self.module = module
        self.taps = taps
        self.damping = damping
        self.targets = targets
        columns = module.weight.shape[1] * taps
        # the inputs kept for the dual form leave room for the products they turn into
        self.max_stored = max_bytes - 8 * columns * len(kept) * taps
        self.kept_channels = list(kept)
        self.removed_channels = list(removed)
        device = module.weight.device
        self.kept_columns = torch.tensor(
            [c * taps + t for c in kept for t in range(taps)], dtype=torch.long, device=device
        )
        self.removed_columns = torch.tensor(
            [c * taps + t for c in removed for t in range(taps)], dtype=torch.long, device=device
        )
        # a convolution of stride 1 fitted on its unfolded inputs: the shifted accumulation
        self.shifted = (
            taps > 1
            and taps == kernel_taps(module)
            and isinstance(module, (nn.Conv1d, nn.Conv2d))
            and all(s == 1 for s in module.stride)
        )
        #: the removed inputs' weight on the fitted outputs, (outputs, removed channels,
        #: *kernel), when the products of the kept inputs with what the removed ones add to
        #: those outputs cost less than their products with the removed inputs themselves
        self.weight: Optional[torch.Tensor] = None
        if weight is not None and _targets_pay(
            len(kept), len(removed), taps, weight.shape[0], self.shifted
        ):
            self.weight = weight.detach()
        self.count = 0
        #: the inputs against the kept ones, float64: shifted (taps, taps, channels, kept
        #: channels), a contiguous block per pair of taps (with ``weight``: the kept channels
        #: only); else (kept columns then removed columns or, with ``weight``, the outputs,
        #: kept columns), the kept x kept part on and above its diagonal blocks
        self.gram: Optional[torch.Tensor] = None
        #: shifted with ``weight``: the outputs against the kept inputs, (outputs, kept columns)
        self.cross: Optional[torch.Tensor] = None
        #: the inputs' sums, float64: shifted (channels, taps, with ``weight`` the kept ones);
        #: else kept then removed columns (with ``weight``: the outputs)
        self.sums: Optional[torch.Tensor] = None
        #: shifted with ``weight``: the outputs' sums, and what they are taken relative to
        self.target_sum: Optional[torch.Tensor] = None
        self.target_center: Optional[torch.Tensor] = None
        #: what the rows are taken relative to before their products (None: nothing)
        self.center: Optional[torch.Tensor] = None
        #: the inputs kept while the dual form pays (None: the Gram matrix is accumulated)
        self.stored: Optional[List[torch.Tensor]] = (
            [] if damping > 0 and len(self.kept_columns) else None
        )
        self.stored_bytes = 0

    # ------------------------------------------------------------------ accumulation

    def add(self, x: torch.Tensor) -> None:
        """Take in one batch's input to the layer (not kept beyond the call unless copied)."""
        own = x.dtype not in (torch.float32, torch.float64)
        if own:
            x = x.float()
        self.count += _rows_of(self.module, x, self.taps)
        if self.stored is not None:
            size = x.numel() * x.element_size()
            if (
                _dual_pays(self.count, len(self.kept_columns), self.targets)
                and self.stored_bytes + size <= self.max_stored
            ):
                self.stored.append(x if own else x.clone())
                self.stored_bytes += size
                return
            stored, self.stored = self.stored, None
            while stored:
                self._accumulate(stored.pop(0))
        self._accumulate(x)

    def _accumulate(self, x: torch.Tensor) -> None:
        if self.shifted:
            self._accumulate_shifted(x)
            return
        rows = unfold(self.module, x, self.taps)
        kept = rows.index_select(1, self.kept_columns.to(rows.device))
        removed = rows.index_select(1, self.removed_columns.to(rows.device))
        del rows
        if self.center is None:  # the products about the first batch's mean keep their digits
            self.center = torch.cat([kept.mean(0), removed.mean(0)])
        size = kept.shape[1]
        kept -= self.center[:size]
        removed -= self.center[size:]
        if self.weight is not None:
            # what the removed inputs (about their centre) add to the fitted outputs
            removed = removed @ self.weight.flatten(1).to(removed).T
        if self.gram is None:
            self.gram = kept.new_zeros(size + removed.shape[1], size, dtype=torch.float64)
            self.sums = kept.new_zeros(size + removed.shape[1], dtype=torch.float64)
        assert self.sums is not None
        # the kept inputs' products are symmetric: the blocks on and above the diagonal
        for start, stop in _blocks(size):
            self.gram[start:stop, start:].add_(kept[:, start:stop].T @ kept[:, start:])
        self.gram[size:].add_(removed.T @ kept)
        self.sums[:size].add_(kept.sum(0))
        self.sums[size:].add_(removed.sum(0))

    def _accumulate_shifted(self, x: torch.Tensor) -> None:
        assert isinstance(self.module, _ConvNd)
        x, (kh, kw), (dh, dw), (ph, pw), _ = _geometry(self.module, x)
        device = x.device
        keep = torch.tensor(self.kept_channels, dtype=torch.long, device=device)
        if self.weight is not None:
            # the kept inputs' products, and theirs with the removed inputs' share of the
            # outputs (a convolution of the removed inputs, then its weight gradient)
            gone = torch.tensor(self.removed_channels, dtype=torch.long, device=device)
            weight = self.weight.to(x)
            if weight.dim() == 3:  # a 1-d convolution's, as a 2-d one's
                weight = weight.unsqueeze(2)
            target = F.conv2d(x.index_select(1, gone), weight, None, 1, (ph, pw), (dh, dw))
            if self.target_center is None:  # about the first batch's mean: the products
                self.target_center = target.mean((0, 2, 3))  # keep their digits
            target -= self.target_center[:, None, None]
            x = x.index_select(1, keep)
            crossed = conv2d_weight(
                x, (weight.shape[0], x.shape[1], kh, kw), target, 1, (ph, pw), (dh, dw)
            )
            if self.cross is None:
                self.cross = x.new_zeros(weight.shape[0], x.shape[1] * kh * kw, dtype=torch.float64)
                self.target_sum = x.new_zeros(weight.shape[0], dtype=torch.float64)
            assert self.target_sum is not None
            self.cross.add_(crossed.flatten(1))
            self.target_sum.add_(target.sum((0, 2, 3)))
            del target, crossed
            keep = torch.arange(x.shape[1], device=device)
        batch, channels, height, width = x.shape
        out_h, out_w = height + 2 * ph - dh * (kh - 1), width + 2 * pw - dw * (kw - 1)
        taps = kh * kw
        if self.gram is None:
            kept = len(self.kept_channels)
            self.gram = x.new_zeros(taps, taps, channels, kept, dtype=torch.float64)
            self.sums = x.new_zeros(channels, taps, dtype=torch.float64)
        gram, sums = self.gram, self.sums
        assert sums is not None

        # the input channels-last, each row followed by gap_w zeros and each image by gap_h
        # zero rows: the input shifted by (dy, dx) is the same matrix dy * stride + dx rows on
        gap_h, gap_w = dh * (kh - 1), dw * (kw - 1)
        stride = width + gap_w
        block = (height + gap_h) * stride
        lead = gap_h * stride + gap_w
        flat = x.new_zeros(2 * lead + batch * block, channels)
        image = flat[lead : lead + batch * block].view(batch, height + gap_h, stride, channels)
        image[:, :height, :width] = x.permute(0, 2, 3, 1)
        end = batch * block  # just past the last image's last input position
        here = flat[lead:end]

        # the input rows and columns each tap's window covers; the others are the border
        rows = [_window(dh * i - ph, out_h, height) for i in range(kh)]
        cols = [_window(dw * j - pw, out_w, width) for j in range(kw)]
        border_rows, row_spans = _border(rows, height)
        border_cols, col_spans = _border(cols, width)

        def border(view: torch.Tensor) -> List[Optional[torch.Tensor]]:
            # a view's (positions, channels) on each border row, column and corner
            on_rows = on_cols = corners = None
            if border_rows:
                picked = torch.cat([view[:, a:b, :width] for a, b in row_spans], 1)
                on_rows = picked.permute(1, 0, 2, 3).reshape(len(border_rows), -1, channels)
            if border_cols:
                picked = torch.cat([view[:, :height, a:b] for a, b in col_spans], 2)
                on_cols = picked.permute(2, 0, 1, 3).reshape(len(border_cols), -1, channels)
            if border_rows and border_cols:
                picked = torch.cat([view[:, a:b] for a, b in row_spans], 1)
                picked = torch.cat([picked[:, :, c:d] for c, d in col_spans], 2)
                corners = picked.permute(1, 2, 0, 3).reshape(-1, batch, channels)
            return [on_rows, on_cols, corners]

        # per tap: the border rows and columns its window leaves out, and their corners
        rows_out = [[n for n, r in enumerate(border_rows) if not lo <= r < hi] for lo, hi in rows]
        cols_out = [[n for n, c in enumerate(border_cols) if not lo <= c < hi] for lo, hi in cols]
        left_out = [
            [(r, c, [a * len(border_cols) + b for a in r for b in c]) for c in cols_out]
            for r in rows_out
        ]
        own = border(image)
        # every pair of taps t <= u once: their offset (di, dj) has di > 0 or di = 0 <= dj
        for di in range(kh):
            for dj in range(-(kw - 1) if di else 0, kw):
                offset = dh * di * stride + dw * dj
                whole = here.T @ flat[lead + offset : end + offset]
                view = flat[lead + offset : lead + offset + batch * block].view_as(image)
                # per border row, column and corner: its channels x channels product
                strips = [
                    None if a is None or b is None else torch.bmm(a.transpose(1, 2), b)
                    for a, b in zip(own, border(view))
                ]
                for i in range(kh - di):
                    for j in range(max(0, -dj), min(kw, kw - dj)):
                        t, u = i * kw + j, (i + di) * kw + j + dj
                        part = whole
                        for sign, strip, out in zip((-1, -1, 1), strips, left_out[i][j]):
                            for n in out:  # inclusion-exclusion over the left-out positions
                                assert strip is not None
                                part = part.add(strip[n], alpha=sign)
                        gram[t, u].add_(part.index_select(1, keep))
                        if u != t:
                            gram[u, t].add_(part.index_select(0, keep).T)

        # per tap, each channel's sum over the positions its window reads (an integral image)
        integral = x.new_zeros(channels, height + 1, width + 1, dtype=torch.float64)
        integral[:, 1:, 1:] = x.sum(0).to(torch.float64).cumsum(1).cumsum(2)
        for t in range(taps):
            (r0, r1), (c0, c1) = rows[t // kw], cols[t % kw]
            if r0 < r1 and c0 < c1:
                sums[:, t] += (
                    integral[:, r1, c1]
                    - integral[:, r0, c1]
                    - integral[:, r1, c0]
                    + integral[:, r0, c0]
                )

    # ------------------------------------------------------------------ solving

    def solve(self, projection: Optional[torch.Tensor] = None) -> torch.Tensor:
        """The fit Z, (kept columns + 1) x targets in float64, with the constant one last:
        ``G_K1,K1 Z = G_K1,R`` (times ``projection``, removed columns x targets, when given)."""
        if self.stored is not None:
            return self._solve_dual(projection)
        return self._solve_primal(projection)

    def _solve_primal(self, projection: Optional[torch.Tensor]) -> torch.Tensor:
        # the normal equations with the bias eliminated: the kept inputs' covariance, damped,
        # against their covariance with the removed ones; then the bias from the means
        gram, sums = self.gram, self.sums
        assert gram is not None and sums is not None
        self.gram = self.sums = None
        device = gram.device
        count = float(self.count)
        size = len(self.kept_columns)
        if self.shifted and self.weight is not None:  # the kept channels only
            assert self.cross is not None and self.target_sum is not None
            covariance = gram.permute(2, 0, 3, 1).reshape(size, size)
            crossed, self.cross = self.cross, None
            kept_shift = sums.reshape(-1) / count
            removed_shift = self.target_sum / count
        elif self.shifted:  # (taps, taps, channels, kept channels): a row per input

            def rows(gram: torch.Tensor, channels: Sequence[int]) -> torch.Tensor:
                index = self._channels(channels, device)
                block = gram.index_select(2, index)  # (taps, taps, rows' channels, kept)
                return block.permute(2, 0, 3, 1).reshape(-1, size)

            covariance = rows(gram, self.kept_channels)
            crossed = rows(gram, self.removed_channels)  # the removed inputs against the kept
            kept_shift = sums[self._channels(self.kept_channels, device)].reshape(-1) / count
            removed_shift = sums[self._channels(self.removed_channels, device)].reshape(-1)
            removed_shift /= count
        else:
            covariance, crossed = gram[:size], gram[size:]
            for start, stop in _blocks(size):  # below the diagonal blocks, from above them
                covariance[stop:, start:stop] = covariance[start:stop, stop:].T
            kept_shift, removed_shift = sums[:size] / count, sums[size:] / count
        del gram
        covariance /= count
        diagonal = covariance.diagonal()
        if self.damping > 0 and size:
            # relative to the mean diagonal of the uncentred Gram matrix
            second = diagonal.clone()
            if self.center is not None:
                center = self.center[:size].to(device, torch.float64)
                second += center * (2 * kept_shift + center)
            floor = torch.finfo(torch.float64).tiny
            damping = self.damping * second.mean().clamp_min(floor)
        covariance -= torch.outer(kept_shift, kept_shift)
        if self.damping > 0 and size:
            diagonal += damping
        kept_mean, removed_mean = kept_shift, removed_shift
        if self.center is not None:
            center = self.center.to(device, torch.float64)
            removed_center = center[size:]
            if self.weight is not None:  # the outputs' centre: the removed inputs' one's share
                removed_center = self.weight.flatten(1).to(center) @ removed_center
            kept_mean, removed_mean = kept_mean + center[:size], removed_mean + removed_center
        if self.target_center is not None:
            removed_mean = removed_mean + self.target_center.to(device, torch.float64)
        # the kept inputs' covariance with the removed ones, projected first when that is
        # narrower: (crossed / count - shifts' outer product)^T @ projection; with ``weight``
        # the products are with the projected inputs already
        if projection is not None and self.weight is None:
            projection = projection.to(device, torch.float64)
            cross = crossed.T @ projection
            cross /= count
            cross -= torch.outer(kept_shift, removed_shift @ projection)
            removed_mean = removed_mean @ projection
        else:
            cross = crossed.T / count - torch.outer(kept_shift, removed_shift)
        del crossed
        weights = _spd_solve(covariance, cross)
        bias = removed_mean - kept_mean @ weights
        return torch.cat([weights, bias[None]], 0)

    def _channels(self, channels: Sequence[int], device: torch.device) -> torch.Tensor:
        return torch.tensor(channels, dtype=torch.long, device=device)

    def _rows(self, stored: List[torch.Tensor], channels: Sequence[int]) -> torch.Tensor:
        """The stored inputs' rows on some of their channels, in float64."""
        parts = []
        for x in stored:
            axis = x.dim() - 1 if isinstance(self.module, nn.Linear) else 1
            picked = x.index_select(axis, self._channels(channels, x.device))
            parts.append(unfold(self.module, picked, self.taps).to(torch.float64))
        return parts[0] if len(parts) == 1 else torch.cat(parts)

    def _solve_dual(self, projection: Optional[torch.Tensor]) -> torch.Tensor:
        # min over w, b of |T - X w - b|^2 / n + damping' |w|^2: b = mean(T) - mean(X) w and
        # w = Xc^T (Xc Xc^T + n damping' I)^-1 Tc on the centred rows, the same fit as the
        # normal equations' (the bias column is not damped there either)
        stored, self.stored = self.stored, None
        assert stored is not None
        precision = stored[0].dtype
        kept = self._rows(stored, self.kept_channels)
        target = self._rows(stored, self.removed_channels)
        del stored
        # products whose rounding the solve does not amplify (the removed inputs' projection,
        # the kept inputs times the solution) are formed in the inputs' precision, on rows
        # centred in float64 first
        target_mean = target.mean(0)
        target -= target_mean
        if projection is not None:
            projection = projection.to(target.device, torch.float64)
            target_mean = target_mean @ projection
            target = (target.to(precision) @ projection.to(precision)).to(torch.float64)
        count = kept.shape[0]
        flat = kept.reshape(-1)
        scale = float(torch.dot(flat, flat)) / (count * kept.shape[1])
        kept_mean = kept.mean(0)
        if scale == 0:  # the kept inputs are all zero: nothing to fit but the bias
            weights = kept.new_zeros(kept.shape[1], target.shape[1])
            return torch.cat([weights, target_mean[None]], 0)
        damping = self.damping * scale
        kept -= kept_mean
        # the rows' products in their own precision, as the normal equations' Gram matrix
        low = kept.to(precision)
        del kept
        kernel = (low @ low.T).to(torch.float64)
        kernel.diagonal().add_(count * damping)
        solved = _spd_solve(kernel, target)
        weights = (low.T @ solved.to(precision)).to(torch.float64)
        del low
        bias = target_mean - kept_mean @ weights
        return torch.cat([weights, bias[None]], 0)
