"""The covariance of a control-variable fit with sWeights, the mass fit's
fluctuations included.

The chain is one set of estimating equations over ζ = (θ, N, φ, W): the
control fit Σ_i w_i w_{c,i} s_i = 0 (s_i = ∂ ln h(t_i; θ)/∂θ, w_{c,i} the
sWeight of component c without the event weight w_i), the mass fit's score
Σ_i w_i (u_i; v_i) = (1; 0), and the sPlot information W_{kl} = Σ_i w_i
u_{k,i} u_{l,i} whose inverse V gives w_{k,i} = Σ_l V_{kl} u_{l,i}, with

    g_{k,i} = f_k(x_i),  f_i = Σ_k N_k g_{k,i},  u_{k,i} = g_{k,i} / f_i,
    v_{r,i} = ∂_r f_i / f_i   (r over the free shape parameters).

Linearised, θ̂ − θ = H⁻¹ (G + ∂_W G δW + (∂_M G + ∂_W G ∂_M W) δM), with
H = −Σ_i w_i w_{c,i} ∂² ln h_i / ∂θ², δM = Σ_M Σ_i w_i (u_i; v_i) (Σ_M the
mass fit's inverse Hessian over its free (N, φ)) and δW = Σ_i w_i u_i u_iᵀ.
Since dV = −V dW V, ∂_W G · X = −Σ_{k,l} V_{ck} X_{kl} S̄_l with
S̄_b = Σ_i w_i w_{b,i} s_i (zero for b = c at the fitted θ). Each event's
influence is then

    ψ̃_i = w_i [w_{c,i} (s_i − c_i) + J Σ_M (u_i; v_i)],   c_i = Σ_b S̄_b u_{b,i},

with the columns of J = ∂_M G + ∂_W G ∂_M W

    yield j:  Σ_i w_i w_{c,i} (2 c_i − s_i) u_{j,i},
    shape r:  Σ_i w_i [(a_{r,i} − w_{c,i} v_{r,i}) s_i − a_{r,i} c_i − w_{c,i} b_{r,i}
                       + 2 w_{c,i} c_i v_{r,i}],
    a_{r,i} = Σ_l V_{cl} ∂_r g_{l,i} / f_i,   b_{r,i} = Σ_b S̄_b ∂_r g_{b,i} / f_i,

and Cov(θ) = H⁻¹ (Σ_i ψ̃_i ψ̃_iᵀ) H⁻¹, the sandwich A⁻¹ B A⁻ᵀ of the stacked
equations with their θ block eliminated. Σ_i ψ̃_i = 0 at the fitted point
(Σ_M (1; 0) = (N; 0) and Σ_i w_i w_{c,i} u_{b,i} = δ_{cb}), so the per-event
constants of the extended terms do not enter. Taking the sWeights as fixed
numbers keeps the first term alone: H⁻¹ D H⁻¹, D = Σ_i (w_i w_{c,i})² s_i s_iᵀ
(C. Langenbruch, Eur. Phys. J. C 82 (2022) 393; H. Dembinski, M. Kenzie,
C. Langenbruch, M. Schmelling, Nucl. Instrum. Meth. A 1040 (2022) 167270).
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence

import numpy as np

from ._model import FloatArray


@dataclasses.dataclass(frozen=True, eq=False)
class MassFit:
    """The mass fit at its fitted point, on its free parameters, with every
    per-event quantity one contiguous row per component (the sums over the
    events below are then plain vector operations, with no BLAS threads).

    `densities` g (n_components, n_events), `slopes` ∂g/∂φ
    (n_free_shapes, n_components, n_events), `yields` N, `sweight_matrix` V,
    `weights` w, `free_yields` the indices of the yields not held on their
    bound, and `covariance` Σ_M over the free yields then the free shapes.
    """

    densities: FloatArray
    slopes: FloatArray
    yields: FloatArray
    sweight_matrix: FloatArray
    weights: FloatArray
    free_yields: np.ndarray[tuple[int], np.dtype[np.intp]]
    covariance: FloatArray

    def mixture(self) -> FloatArray:
        """f_i = Σ_k N_k g_{k,i}."""
        return combine(self.yields, self.densities)

    def sweights(self, component: int) -> FloatArray:
        """w_{c,i} = Σ_l V_{cl} g_{l,i} / f_i, without the event weights."""
        return combine(self.sweight_matrix[component], self.densities) / self.mixture()


def combine(coefficients: FloatArray, rows: FloatArray | Sequence[FloatArray]) -> FloatArray:
    """Σ_k coefficients[k] rows[k], one row."""
    total: FloatArray = coefficients[0] * rows[0]
    for coefficient, row in zip(coefficients[1:], rows[1:]):
        total += coefficient * row
    return total


def influence(mass: MassFit, component: int, scores: FloatArray) -> FloatArray:
    """ψ̃_i, shape (n_events, n_parameters), of the control fit's free
    parameters with the scores s_i = ∂ ln h_i / ∂θ, shape (n_events,
    n_parameters) (module docstring)."""
    w, v_matrix = mass.weights, mass.sweight_matrix
    if scores.shape[1] == 0:
        return np.empty((len(w), 0))
    inverse_f = 1.0 / mass.mixture()
    u = mass.densities * inverse_f                                 # u_{k,i}, (K, n)
    s = np.ascontiguousarray(scores.T)                             # s_{p,i}, (P, n)
    sweights = np.array([combine(row, u) for row in v_matrix])    # w_{k,i}
    wc = sweights[component]
    weighted = w * wc
    s_bar = np.array([[np.sum(w * row * sp) for sp in s] for row in sweights])   # (K, P)
    c = np.array([combine(s_bar[:, p], u) for p in range(len(s))])             # (P, n)
    columns = [[np.sum(weighted * (2.0 * cp - sp) * u[j]) for j in mass.free_yields]
               for sp, cp in zip(s, c)]
    m_scores = [u[j] for j in mass.free_yields]
    for slopes in mass.slopes:                                     # ∂_r g_{k,i}, (K, n)
        relative = slopes * inverse_f
        v = combine(mass.yields, relative)
        a = combine(v_matrix[component], relative)
        for p, (sp, cp) in enumerate(zip(s, c)):
            b = combine(s_bar[:, p], relative)
            columns[p].append(np.sum(w * a * (sp - cp)
                                     + weighted * (2.0 * cp * v - v * sp - b)))
        m_scores.append(v)
    projected = np.array(columns).reshape(len(s), -1) @ mass.covariance  # J Σ_M, (P, M)
    psi = [w * (wc * (sp - cp) + combine(row, m_scores)) for sp, cp, row in zip(s, c, projected)]
    return np.column_stack(psi) if psi else np.empty((len(w), 0))


def sandwich(inverse_hessian: FloatArray, contributions: FloatArray) -> FloatArray:
    """H⁻¹ (Σ_i x_i x_iᵀ) H⁻¹ for the rows x_i of `contributions`, symmetric."""
    columns = np.ascontiguousarray(contributions.T)
    middle = np.array([[np.sum(x * y) for y in columns] for x in columns]).reshape(
        len(columns), len(columns))
    covariance: FloatArray = inverse_hessian @ middle @ inverse_hessian
    return 0.5 * (covariance + covariance.T)
