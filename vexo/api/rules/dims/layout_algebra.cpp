#include "layout_algebra.hpp"

#include <stdexcept>
#include <string>

namespace vexo::dims {

namespace {

std::string shape_str(const Ints& v) {
  std::string s = "[";
  for (size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + std::to_string(v[i]);
  return s + "]";
}

// A zero [rows, cols, 1, 1] float32 weight, refused when absurdly large.
Array one_hot_weight(int64_t rows, int64_t cols) {
  if (rows < 0 || cols < 0)
    throw std::invalid_argument("a channel weight cannot have " + std::to_string(rows) + " x " +
                                std::to_string(cols) + " channels");
  if (cols != 0 && rows > kMaxOneHotWeightElements / cols)
    throw std::length_error("a channel weight of " + std::to_string(rows) + " x " + std::to_string(cols) +
                            " channels is too large to build");
  return Array(DType::Float32, Shape{rows, cols, 1, 1});
}

bool all_positive(const Ints& shape) {
  for (int64_t d : shape)
    if (d <= 0) return false;
  return true;
}

}  // namespace

// ------------------------------------------------ channel alignment

bool misses_alignment(int64_t ch, int64_t align) { return ch % align != 0; }

int64_t align_channels(int64_t ch, int64_t align) {
  if (align <= 0) throw std::invalid_argument("channel alignment must be positive, got " + std::to_string(align));
  int64_t up;
  if (__builtin_add_overflow(ch, align - 1, &up)) throw std::overflow_error("aligned channel count overflows");
  return checked_mul(up / align, align);  // C++ division truncates toward zero, as int() does
}

Ints aligned_layout_counts(const std::vector<std::string>& names, const Ints& counts, int64_t align) {
  Ints out;
  for (size_t i = 0; i < counts.size(); ++i)
    out.push_back(misses_alignment(counts[i], align) && names[i] != names.back() ? align_channels(counts[i], align)
                                                                                 : counts[i]);
  return out;
}

int64_t total_channels(const Ints& counts) {
  int64_t n = 0;
  for (int64_t c : counts)
    if (__builtin_add_overflow(n, c, &n)) throw std::overflow_error("total channel count overflows");
  return n;
}

int64_t aligned_channel(int64_t ch, const Ints& counts, const Ints& aligned) {
  int64_t pos = ch;
  for (size_t j = 0; j < counts.size() && j < aligned.size(); ++j) {
    if (ch < counts[j]) break;
    ch -= counts[j];
    pos += aligned[j] - counts[j];
  }
  return pos;
}

Array channel_copy_weight(int64_t rows, int64_t cols) {
  Array w = one_hot_weight(rows, cols);
  const int64_t n = rows < cols ? rows : cols;
  for (int64_t j = 0; j < n; ++j) w.set_double(j * cols + j, 1.0);
  return w;
}

Array gather_weight(int64_t out_ch, const Ints& counts, const Ints& aligned) {
  const int64_t width = total_channels(aligned);
  Array w = one_hot_weight(out_ch, width);
  for (int64_t o = 0; o < out_ch; ++o) {
    const int64_t i = aligned_channel(o, counts, aligned);
    if (i < 0 || i >= width)
      throw std::out_of_range("channel " + std::to_string(o) + " maps to channel " + std::to_string(i) +
                              " of an aligned layout of " + std::to_string(width) + " channels");
    w.set_double(o * width + i, 1.0);
  }
  return w;
}

// Scattering into the aligned layout is gathering out of it, transposed.
Array scatter_weight(int64_t in_ch, const Ints& counts, const Ints& aligned) {
  return gather_weight(in_ch, counts, aligned).transpose({1, 0, 2, 3});
}

Array pad_channels(const Array& value, const Ints& shape, int64_t aligned) {
  if (shape.size() < 2) throw std::out_of_range("a shape of rank " + std::to_string(shape.size()) + " has no channel axis");
  Shape zeros_shape = shape;
  zeros_shape[1] = aligned - shape[1];
  return Array::concatenate({value, Array(value.dtype(), zeros_shape)}, 1);
}

// ------------------------------------------------ concat axis swap

std::optional<size_t> unit_spatial_axis(const Ints& out_shape) {
  for (size_t i = 2; i < out_shape.size(); ++i)
    if (out_shape[i] == 1) return out_shape[2] == 1 ? 2 : 3;
  return std::nullopt;
}

Ints channel_to_height_shape(const Ints& shape, size_t k) {
  if (k >= shape.size())
    throw std::out_of_range("shape " + shape_str(shape) + " has no axis " + std::to_string(k));
  Ints out{1};
  for (size_t i = 0; i < shape.size(); ++i)
    if (i != k) out.push_back(shape[i]);
  return out;
}

// ------------------------------------------------ NHWC to NCHW

Ints nhwc_pads_to_nchw(const Ints& pads) {
  if (pads.size() != 8) throw std::invalid_argument("pads of a 4-D Pad need 8 entries, got " + shape_str(pads));
  Ints p = pads;
  // The channel begin moves in front of H and W, then the channel end likewise.
  const int64_t c_begin = p[3];
  p.erase(p.begin() + 3);
  p.insert(p.begin() + 1, c_begin);
  const int64_t c_end = p[7];
  p.erase(p.begin() + 7);
  p.insert(p.begin() + 5, c_end);
  return p;
}

Array nhwc_const_to_nchw(const Array& value) {
  if (value.ndim() > 4)
    throw ArrayError("a constant of shape " + shape_str(value.shape()) + " has more than four axes");
  Shape s(4 - value.ndim(), 1);
  s.insert(s.end(), value.shape().begin(), value.shape().end());
  return value.reshape(s).transpose({0, 3, 1, 2});
}

// ------------------------------------------------ window partition

const char* window_mode_name(WindowMode mode) {
  switch (mode) {
    case WindowMode::Partition: return "partition";
    case WindowMode::Reverse: return "reverse";
    case WindowMode::PartitionNumFirst: return "partition_num_first";
  }
  return "";
}

std::optional<WindowAxes> find_window_axes(const Ints& shape, const Ints& perm) {
  if (shape.size() < 5) return std::nullopt;
  for (size_t i = 0; i + 4 <= shape.size(); ++i) {
    if (perm.size() < i + 4)
      throw std::out_of_range("perm " + shape_str(perm) + " is too short for a shape of rank " +
                              std::to_string(shape.size()));
    // perm[i + k] - i compared without the subtraction, so huge entries cannot overflow.
    const auto part_is = [&](int64_t a, int64_t b, int64_t c, int64_t d) {
      const int64_t base = static_cast<int64_t>(i);
      return perm[i] == base + a && perm[i + 1] == base + b && perm[i + 2] == base + c && perm[i + 3] == base + d;
    };
    const int64_t s0 = shape[i], s1 = shape[i + 1], s2 = shape[i + 2], s3 = shape[i + 3];
    if (part_is(0, 2, 1, 3)) {
      if (s0 == s1 && s2 == s3) return WindowAxes{WindowMode::Partition, i};
      if (s0 == s2 && s1 == s3) return WindowAxes{WindowMode::Reverse, i};
    } else if (part_is(1, 3, 0, 2) && s0 == s1 && s2 == s3) {
      return WindowAxes{WindowMode::PartitionNumFirst, i};
    }
  }
  return std::nullopt;
}

WindowParams window_params(const Ints& tp_out_shape, const WindowAxes& axes) {
  if (axes.pos + 4 > tp_out_shape.size())
    throw std::out_of_range("no four window axes at " + std::to_string(axes.pos) + " of " + shape_str(tp_out_shape));
  const int64_t o0 = tp_out_shape[axes.pos], o1 = tp_out_shape[axes.pos + 1];
  const int64_t o2 = tp_out_shape[axes.pos + 2], o3 = tp_out_shape[axes.pos + 3];
  switch (axes.mode) {
    case WindowMode::Partition: return {axes.mode, {o2, o3}, {o0, o1}, {o0, o2, o1, o3}};
    case WindowMode::Reverse: return {axes.mode, {o1, o3}, {o0, o2}, {o0, o2, o1, o3}};
    case WindowMode::PartitionNumFirst: return {axes.mode, {o2, o3}, {o0, o1}, {o2, o0, o3, o1}};
  }
  throw std::logic_error("unknown window mode");
}

std::optional<std::pair<size_t, size_t>> find_shape_position(const Ints& input_shape, const Ints& target) {
  if (target.empty() || !all_positive(input_shape) || !all_positive(target)) return std::nullopt;
  const int64_t input_size = checked_prod(input_shape);
  const int64_t target_size = checked_prod(target);
  if (target_size > input_size || input_size % target_size != 0) return std::nullopt;
  for (size_t i = 0; i < input_shape.size(); ++i) {
    if (input_shape[i] != target[0]) continue;
    int64_t in_prod = 1;
    size_t end = i;
    // Every partial product of a run stays below input_size, so it cannot overflow.
    while (in_prod < target_size && end < input_shape.size()) in_prod *= input_shape[end++];
    if (in_prod == target_size) return std::make_pair(i, end - 1);
    if (in_prod > target_size) return std::make_pair(i, end);
  }
  return std::nullopt;
}

std::optional<WindowReshape> window_reshape(const Ints& out_shape, std::pair<size_t, size_t> indices,
                                            const Ints& in_shape_4d) {
  const auto [first, last] = indices;
  const Ints& w = in_shape_4d;
  if (w.size() != 4) throw std::invalid_argument("window_reshape needs four window axes");
  // A window of unit extents is reached before any axis is multiplied: the run
  // is empty and ends on the axis before it, which for a run at axis 0 is the
  // last axis (index -1).  The element count check of the caller decides.
  const bool empty_run = last + 1 == first;
  if (first > last && !empty_run) throw std::invalid_argument("window_reshape needs a run of axes");
  const size_t last_axis = empty_run && first == 0 ? out_shape.size() - 1 : last;
  const Ints window_in_shape{checked_mul(w[0], w[1]), checked_mul(w[2], w[3])};
  const auto prod_of = [&](size_t begin, size_t end) {
    return checked_prod(Ints(out_shape.begin() + static_cast<std::ptrdiff_t>(begin),
                             out_shape.begin() + static_cast<std::ptrdiff_t>(end)));
  };
  // The run ends the shape: the axes before it become batch and channel (NCHW).
  if (last + 1 == out_shape.size()) {
    const int64_t batch = first > 1 ? prod_of(0, first - 1) : 1;
    const int64_t channel = first >= 1 ? out_shape[first - 1] : 1;
    return WindowReshape{{batch, channel, window_in_shape[0], window_in_shape[1]}, false};
  }
  // An overshooting run that ends past the last axis leaves nothing to read after it.
  if (last_axis >= out_shape.size() || first >= out_shape.size()) return std::nullopt;
  // Otherwise the window sits between outer and inner axes (NHWC), to be transposed around exWindow.
  if (w[0] == 0 || w[3] == 0) return std::nullopt;
  const int64_t ratio_before = out_shape[first] / w[0];
  const int64_t ratio_after = out_shape[last_axis] / w[3];
  const int64_t size_before = checked_mul(prod_of(0, first), ratio_before);
  const int64_t size_after = checked_mul(prod_of(last + 1, out_shape.size()), ratio_after);
  return WindowReshape{{size_before, window_in_shape[0], window_in_shape[1], size_after}, true};
}

}  // namespace vexo::dims
