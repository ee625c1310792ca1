"""A 64 -> 32 (ReLU) -> 10 classifier: training in numpy, int8 quantisation, and
numpy references computing exactly what the NPU program computes."""

from dataclasses import dataclass

import numpy as np

from digits_data import CLASSES, PIXEL_MAX, PIXELS

HIDDEN = 32
INT8_MIN, INT8_MAX = -128, 127


@dataclass
class FloatModel:
    w1: np.ndarray  # float32 [64, 32]
    b1: np.ndarray  # float32 [32]
    w2: np.ndarray  # float32 [32, 10]
    b2: np.ndarray  # float32 [10]


@dataclass
class QuantLayer:
    """One int8 fully connected layer: y = requant((x - 0) @ w + bias)."""

    w: np.ndarray  # int8 [K, M]
    bias: np.ndarray  # int32 [M], in the accumulator's scale x_scale * w_scale
    x_scale: np.float32
    w_scale: np.float32
    out_scale: np.float32


@dataclass
class QuantModel:
    # Grey levels 0..16 are the int8 input itself: scale 1/16 represents them exactly.
    x_scale: np.float32
    fc1: QuantLayer
    fc2: QuantLayer


def normalise(pixels):
    return (pixels / PIXEL_MAX).astype(np.float32)


def train(pixels, labels, steps=300, learning_rate=0.5, seed=0):
    """Full-batch gradient descent on softmax cross-entropy."""
    rng = np.random.default_rng(seed)
    x = normalise(pixels).astype(np.float64)
    onehot = np.eye(CLASSES)[labels]
    w1 = rng.normal(0.0, np.sqrt(2.0 / PIXELS), (PIXELS, HIDDEN))
    b1 = np.zeros(HIDDEN)
    w2 = rng.normal(0.0, np.sqrt(2.0 / HIDDEN), (HIDDEN, CLASSES))
    b2 = np.zeros(CLASSES)
    n = len(labels)
    for _ in range(steps):
        pre = x @ w1 + b1
        h = np.maximum(pre, 0.0)
        logits = h @ w2 + b2
        logits -= logits.max(axis=1, keepdims=True)
        p = np.exp(logits)
        p /= p.sum(axis=1, keepdims=True)
        d_logits = (p - onehot) / n
        d_h = (d_logits @ w2.T) * (pre > 0)
        w2 -= learning_rate * (h.T @ d_logits)
        b2 -= learning_rate * d_logits.sum(axis=0)
        w1 -= learning_rate * (x.T @ d_h)
        b1 -= learning_rate * d_h.sum(axis=0)
    f32 = np.float32
    return FloatModel(w1.astype(f32), b1.astype(f32), w2.astype(f32), b2.astype(f32))


def forward_float(model, x):
    """float32 logits [N, 10] for normalised inputs x [N, 64], in float32 throughout."""
    h = np.maximum(x @ model.w1 + model.b1, np.float32(0))
    return h @ model.w2 + model.b2


def _scale_for(values):
    """Per-tensor symmetric scale mapping the largest magnitude onto 127."""
    peak = float(np.max(np.abs(values)))
    return np.float32(peak / INT8_MAX if peak > 0 else 1.0)


def _quantise_weights(w):
    scale = _scale_for(w)
    q = np.clip(round_half_away(w.astype(np.float64) / float(scale)), INT8_MIN, INT8_MAX)
    return q.astype(np.int8), scale


def _quantise_bias(b, x_scale, w_scale):
    acc_scale = float(x_scale) * float(w_scale)
    return round_half_away(b.astype(np.float64) / acc_scale).astype(np.int32)


def round_half_away(v):
    """Rounds to the nearest integer, halves away from zero (as the NPU requantises)."""
    return np.sign(v) * np.floor(np.abs(v) + 0.5)


def quantise(model, calibration_pixels):
    """int8 weights, int32 biases, and activation scales calibrated on float
    activations of calibration_pixels (the train split)."""
    x_scale = np.float32(1.0 / PIXEL_MAX)
    x = normalise(calibration_pixels)
    hidden = np.maximum(x @ model.w1 + model.b1, 0)
    logits = hidden @ model.w2 + model.b2

    w1, w1_scale = _quantise_weights(model.w1)
    h_scale = _scale_for(hidden)
    fc1 = QuantLayer(w1, _quantise_bias(model.b1, x_scale, w1_scale), x_scale, w1_scale, h_scale)
    w2, w2_scale = _quantise_weights(model.w2)
    out_scale = _scale_for(logits)
    fc2 = QuantLayer(w2, _quantise_bias(model.b2, h_scale, w2_scale), h_scale, w2_scale, out_scale)
    return QuantModel(x_scale, fc1, fc2)


def quantise_input(pixels):
    """Grey levels 0..16 are already the int8 values at scale 1/16."""
    return pixels.astype(np.int8)


def fully_connected_int8(xq, layer):
    """int8 [N, K] -> int8 [N, M]: exact int32 accumulation plus bias, then
    requantisation to the output scale (zero points 0), halves away from zero,
    saturated to int8."""
    acc = xq.astype(np.int64) @ layer.w.astype(np.int64) + layer.bias.astype(np.int64)
    multiplier = float(layer.x_scale) * float(layer.w_scale) / float(layer.out_scale)
    q = round_half_away(acc.astype(np.float64) * multiplier)
    return np.clip(q, INT8_MIN, INT8_MAX).astype(np.int8)


def forward_int8(qmodel, xq):
    """int8 logits [N, 10] for int8 inputs [N, 64]. ReLU on int8 with zero point 0 is max(q, 0)."""
    hidden = np.maximum(fully_connected_int8(xq, qmodel.fc1), np.int8(0))
    return fully_connected_int8(hidden, qmodel.fc2)
