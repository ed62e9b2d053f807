#include "constant_flow.hpp"

namespace quarnel {

Result<Buffer> bel_weights_constant_flow(const View1D& w_terminals, double horizon,
                                         double sigma_at_x0) {
    // Written as negated comparisons so that NaN fails them.
    if (!(horizon > 0.0)) return ModelError{"horizon must be positive"};
    if (!(sigma_at_x0 > 0.0)) return ModelError{"sigma_at_x0 must be positive"};
    const std::size_t n = w_terminals.size();
    Buffer out = Buffer::allocate(n);
    // One reciprocal, then a multiplication per element: a per-element division
    // differs in the last bit for some inputs.
    const double scale = 1.0 / (horizon * sigma_at_x0);
    double* o = out.data();
    if (w_terminals.stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        // Contiguous fast path; same operations, lets the compiler vectorise.
        for (std::size_t k = 0; k < n; ++k) {
            o[k] = load_f64(w_terminals.data + static_cast<std::ptrdiff_t>(k * sizeof(double))) * scale;
        }
    } else {
        for (std::size_t k = 0; k < n; ++k) o[k] = w_terminals[k] * scale;
    }
    return out;
}

}  // namespace quarnel
