#include "TransitionTracker.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <numbers>

namespace audit {

namespace {

using Complex = std::complex<double>;

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// The search after a break looks at 24 ms: long enough that no stretch of a track matches
// another stretch of it, short enough to fit between two changes.
constexpr double kAcquireSeconds = 0.024;
// The search runs on a coarser grid first (every track's band lies below 2 kHz), then the fit
// refines the position of each candidate to a fraction of a sample.
constexpr double kSearchRate = 9600.0;
constexpr int kCandidates = 6;
constexpr int kRefineSteps = 4;
// The fit's third column per track is its slope, scaled to the size of the signal itself.
constexpr double kSlopeScale = kTwoPi * 1000.0;
// Positions this close are one unbroken piece; corrections summing to more start a new piece.
constexpr double kSameSeconds = 0.0002;
constexpr double kSlipSeconds = 0.0005;
// A track found fading in below this gain began before the fit could see it: its piece is taken
// back to the track's start when that lies this close.
constexpr double kFadeInGain = 0.05;
constexpr double kFadeInReachSeconds = 0.05;
// A sample the chosen model misses by this much is sound nothing explains.
constexpr double kUnexplainedError = 5.0 * kResidualRms;
constexpr int kQuietWindowsToDrop = 3;

void Fft(std::vector<Complex> &a, bool inverse) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const double angle = (inverse ? kTwoPi : -kTwoPi) / static_cast<double>(length);
        const Complex unit(std::cos(angle), std::sin(angle));
        for (std::size_t i = 0; i < n; i += length) {
            Complex w(1.0, 0.0);
            for (std::size_t k = 0; k < length / 2; ++k) {
                const Complex even = a[i + k], odd = a[i + k + length / 2] * w;
                a[i + k] = even + odd;
                a[i + k + length / 2] = even - odd;
                w *= unit;
            }
        }
    }
    if (inverse)
        for (Complex &value : a)
            value /= static_cast<double>(n);
}

std::size_t PowerOfTwoAtLeast(std::size_t n) {
    std::size_t size = 1;
    while (size < n)
        size <<= 1;
    return size;
}

double Rms(std::span<const double> x) {
    double sum = 0.0;
    for (double v : x)
        sum += v * v;
    return x.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(x.size()));
}

// Solves the symmetric positive system a x = b (n x n, row-major) in place: Cholesky with a
// slight ridge, so that a track silent in the window gets a gain of 0 rather than a failure.
void SolveInPlace(std::vector<double> &a, std::vector<double> &b, int n) {
    double trace = 0.0;
    for (int i = 0; i < n; ++i)
        trace += a[i * n + i];
    const double ridge = 1e-10 * trace / std::max(n, 1) + 1e-18;
    for (int i = 0; i < n; ++i)
        a[i * n + i] += ridge;
    for (int j = 0; j < n; ++j) {
        double d = a[j * n + j];
        for (int k = 0; k < j; ++k)
            d -= a[j * n + k] * a[j * n + k];
        d = std::sqrt(std::max(d, 1e-300));
        a[j * n + j] = d;
        for (int i = j + 1; i < n; ++i) {
            double s = a[i * n + j];
            for (int k = 0; k < j; ++k)
                s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / d;
        }
    }
    for (int i = 0; i < n; ++i) {
        double s = b[i];
        for (int k = 0; k < i; ++k)
            s -= a[i * n + k] * b[k];
        b[i] = s / a[i * n + i];
    }
    for (int i = n - 1; i >= 0; --i) {
        double s = b[i];
        for (int k = i + 1; k < n; ++k)
            s -= a[k * n + i] * b[k];
        b[i] = s / a[i * n + i];
    }
}

// One track in the fit of a window.
struct Component {
    int Track = 0;
    double Position = 0.0; // the track's time at the window's first sample
    double Gain = 0.0;          // at GainOffset seconds from the sample at Position
    double GainOffset = 0.0;    // (the centre of the window fitted last)
    double GainPerSecond = 0.0; // the gain's slope there
    int Piece = -1;
    double Slip = 0.0; // position corrections since the piece began
    int Quiet = 0;     // windows in a row below kDropGain
};

// What a window's fit found: the residual and, per component, the position correction.
struct Fit {
    double Rms = 0.0;
    std::vector<double> Shifts;
};

// The candidate positions of one track for a search window, on the coarse grid.
struct SearchTable {
    int Step = 1;
    int Length = 0; // window samples on the coarse grid
    std::vector<double> Weights;
    std::vector<Complex> Spectrum;
    std::vector<double> Energy; // the track's energy under the window at j, weighted as it
};

class Fitter {
  public:
    Fitter(std::span<const ToneTrack> tracks, int rate) : tracks_(tracks), rate_(rate) {}

    // Least squares of x over gain, gain slope and position shift of each component; x[0] lies
    // at each component's Position. Updates the gains and their slopes.
    Fit Solve(std::span<const double> x, std::vector<Component> &comps) const {
        Fit fit;
        const int k = static_cast<int>(comps.size());
        const std::size_t length = x.size();
        if (k == 0 || length == 0) {
            fit.Rms = Rms(x);
            return fit;
        }
        const int n = 3 * k;
        std::vector<double> columns(static_cast<std::size_t>(n) * length);
        const double centre = (static_cast<double>(length) - 1.0) / 2.0;
        for (int c = 0; c < k; ++c) {
            const ToneTrack &track = tracks_[static_cast<std::size_t>(comps[c].Track)];
            double *value = &columns[(3 * c) * length];
            double *ramp = &columns[(3 * c + 1) * length];
            double *slope = &columns[(3 * c + 2) * length];
            for (std::size_t u = 0; u < length; ++u) {
                const double t = comps[c].Position + static_cast<double>(u) / rate_;
                value[u] = track.Value(t);
                ramp[u] = (static_cast<double>(u) - centre) / static_cast<double>(length) * value[u];
                slope[u] = track.Slope(t) / kSlopeScale;
            }
        }
        std::vector<double> normal(static_cast<std::size_t>(n * n)), rhs(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            const double *ci = &columns[i * length];
            for (int j = 0; j <= i; ++j) {
                const double *cj = &columns[j * length];
                double sum = 0.0;
                for (std::size_t u = 0; u < length; ++u)
                    sum += ci[u] * cj[u];
                normal[i * n + j] = normal[j * n + i] = sum;
            }
            double sum = 0.0;
            for (std::size_t u = 0; u < length; ++u)
                sum += ci[u] * x[u];
            rhs[i] = sum;
        }
        SolveInPlace(normal, rhs, n);
        double residual = 0.0;
        for (std::size_t u = 0; u < length; ++u) {
            double model = 0.0;
            for (int i = 0; i < n; ++i)
                model += rhs[i] * columns[i * length + u];
            residual += (x[u] - model) * (x[u] - model);
        }
        fit.Rms = std::sqrt(residual / static_cast<double>(length));
        fit.Shifts.assign(static_cast<std::size_t>(k), 0.0);
        for (int c = 0; c < k; ++c) {
            comps[c].Gain = rhs[3 * c];
            comps[c].GainOffset = centre / rate_;
            comps[c].GainPerSecond = rhs[3 * c + 1] * rate_ / static_cast<double>(length);
            // Only a track heard clearly tells its position; a quarter period at 2 kHz at most.
            if (std::abs(comps[c].Gain) > 0.02)
                fit.Shifts[c] = std::clamp(rhs[3 * c + 2] / (comps[c].Gain * kSlopeScale),
                                           -1.25e-4, 1.25e-4);
        }
        return fit;
    }

    // Gauss-Newton: fits, moves the positions by the shifts found, and fits again.
    double Refine(std::span<const double> x, std::vector<Component> &comps) const {
        for (int i = 0; i < kRefineSteps; ++i) {
            const Fit fit = Solve(x, comps);
            double largest = 0.0;
            for (std::size_t c = 0; c < comps.size(); ++c) {
                comps[c].Position += fit.Shifts[c];
                largest = std::max(largest, std::abs(fit.Shifts[c]));
            }
            if (largest < 1e-8)
                break;
        }
        return Solve(x, comps).Rms;
    }

  private:
    std::span<const ToneTrack> tracks_;
    double rate_;
};

class Tracker {
  public:
    Tracker(std::span<const HeardRun> runs, std::span<const ToneTrack> tracks)
        : runs_(runs), tracks_(tracks) {}

    Tracking Run() {
        for (std::size_t r = 0; r < runs_.size(); ++r)
            TrackRun(static_cast<int>(r));
        std::stable_sort(result_.Pieces.begin(), result_.Pieces.end(),
                         [](const Piece &a, const Piece &b) { return a.Start < b.Start; });
        return std::move(result_);
    }

  private:
    const SearchTable &Table(int track, int rate) {
        const long long key = static_cast<long long>(track) * 10000000LL + rate;
        auto found = tables_.find(key);
        if (found != tables_.end())
            return found->second;
        SearchTable table;
        table.Step = std::max(1, static_cast<int>(std::lround(rate / kSearchRate)));
        const auto window = static_cast<int>(std::lround(kAcquireSeconds * rate));
        table.Length = std::max(4, window / table.Step);
        table.Weights.resize(static_cast<std::size_t>(table.Length));
        for (int m = 0; m < table.Length; ++m)
            table.Weights[m] = 0.5 - 0.5 * std::cos(kTwoPi * (m + 0.5) / table.Length);
        const ToneTrack &tone = tracks_[static_cast<std::size_t>(track)];
        const double grid = static_cast<double>(table.Step) / rate;
        const auto frames = static_cast<std::size_t>(tone.Seconds() / grid) + 2;
        const std::size_t size = PowerOfTwoAtLeast(frames + table.Length);
        std::vector<Complex> signal(size), power(size), weights(size);
        for (std::size_t j = 0; j < frames; ++j) {
            const double v = tone.Value(static_cast<double>(j) * grid);
            signal[j] = v;
            power[j] = v * v;
        }
        // With the window's own weights the score (x . s)^2 / (s . s) peaks where the track
        // matches the window exactly: no louder stretch of the track can beat it.
        for (int m = 0; m < table.Length; ++m)
            weights[m] = table.Weights[m];
        Fft(signal, false);
        Fft(power, false);
        Fft(weights, false);
        for (std::size_t i = 0; i < size; ++i)
            power[i] *= std::conj(weights[i]);
        Fft(power, true);
        table.Spectrum = std::move(signal);
        table.Energy.resize(frames);
        for (std::size_t j = 0; j < frames; ++j)
            table.Energy[j] = power[j].real();
        return tables_.emplace(key, std::move(table)).first->second;
    }

    // The positions of a track where the window (its first sample at time 0) fits best.
    std::vector<double> Candidates(int track, int rate, std::span<const double> window) {
        const SearchTable &table = Table(track, rate);
        const std::size_t size = table.Spectrum.size();
        std::vector<Complex> x(size);
        for (int m = 0; m < table.Length; ++m) {
            const std::size_t at = static_cast<std::size_t>(m) * table.Step;
            x[m] = at < window.size() ? window[at] * table.Weights[m] : 0.0;
        }
        Fft(x, false);
        for (std::size_t i = 0; i < size; ++i)
            x[i] = table.Spectrum[i] * std::conj(x[i]);
        Fft(x, true);
        const std::size_t frames = table.Energy.size();
        std::vector<double> score(frames);
        double largestEnergy = 0.0;
        for (double e : table.Energy)
            largestEnergy = std::max(largestEnergy, e);
        for (std::size_t j = 0; j < frames; ++j) {
            const double c = x[j].real();
            score[j] = table.Energy[j] > 1e-3 * largestEnergy ? c * std::abs(c) / table.Energy[j] : 0.0;
        }
        std::vector<std::pair<double, std::size_t>> peaks;
        for (std::size_t j = 1; j + 1 < frames; ++j)
            if (score[j] > 0.0 && score[j] >= score[j - 1] && score[j] > score[j + 1])
                peaks.push_back({score[j], j});
        const std::size_t keep = std::min<std::size_t>(kCandidates, peaks.size());
        std::partial_sort(peaks.begin(), peaks.begin() + static_cast<std::ptrdiff_t>(keep), peaks.end(),
                          std::greater<>());
        const double grid = static_cast<double>(table.Step) / rate;
        std::vector<double> positions;
        for (std::size_t i = 0; i < keep; ++i) {
            const std::size_t j = peaks[i].second;
            // Between grid points: the vertex of the parabola through the correlation there.
            const double a = x[j - 1].real(), b = x[j].real(), c = x[j + 1].real();
            const double curve = a - 2.0 * b + c;
            const double offset = curve < 0.0 ? std::clamp(0.5 * (a - c) / curve, -0.5, 0.5) : 0.0;
            positions.push_back((static_cast<double>(j) + offset) * grid);
        }
        return positions;
    }

    // The tracks and positions that explain the window beginning at sample `at`, given what
    // sounded before (its positions moved on to `at`). Answers false when nothing does.
    bool Acquire(const HeardRun &run, std::int64_t at, const std::vector<Component> &hints,
                 std::vector<Component> &found) {
        const auto total = static_cast<std::int64_t>(run.Samples.size());
        const std::int64_t length =
            std::min<std::int64_t>(std::lround(kAcquireSeconds * run.Rate), total - at);
        if (length < std::lround(kWindowSeconds * run.Rate))
            return false;
        const std::span<const double> x(run.Samples.data() + at, static_cast<std::size_t>(length));
        const Fitter fitter(tracks_, run.Rate);
        found.clear();
        double rms = Rms(x);
        if (rms < kResidualRms)
            return true;
        // What sounded before, where it would be now.
        std::vector<Component> continued = hints;
        if (!continued.empty() && fitter.Refine(x, continued) < kResidualRms) {
            found = Prune(continued);
            return true;
        }
        // Otherwise one track at a time, the one that explains most first.
        std::vector<Component> model;
        for (std::size_t round = 0; round < tracks_.size() && rms >= kResidualRms; ++round) {
            std::vector<double> residual(x.begin(), x.end());
            if (!model.empty())
                Subtract(run.Rate, model, residual);
            double bestRms = rms;
            std::vector<Component> best;
            for (int track = 0; track < static_cast<int>(tracks_.size()); ++track) {
                if (std::any_of(model.begin(), model.end(),
                                [&](const Component &c) { return c.Track == track; }))
                    continue;
                std::vector<double> positions = Candidates(track, run.Rate, residual);
                positions.push_back(0.0);
                for (const Component &hint : hints)
                    if (hint.Track == track)
                        positions.push_back(hint.Position);
                for (double position : positions) {
                    std::vector<Component> trial = model;
                    trial.push_back({track, position});
                    const double trialRms = fitter.Refine(x, trial);
                    if (trialRms < bestRms && std::abs(trial.back().Gain) > kDropGain) {
                        bestRms = trialRms;
                        best = trial;
                    }
                }
                if (bestRms < kResidualRms)
                    break; // explained: no need to look at the other tracks
            }
            if (best.empty() || bestRms > 0.5 * rms)
                break;
            model = std::move(best);
            rms = bestRms;
        }
        if (rms >= kResidualRms)
            return false;
        found = Prune(model);
        return true;
    }

    // Keeps the components that sound; carries over what the hints knew of them.
    static std::vector<Component> Prune(const std::vector<Component> &comps) {
        std::vector<Component> kept;
        for (const Component &c : comps)
            if (std::abs(c.Gain) >= kDropGain)
                kept.push_back({c.Track, c.Position, c.Gain, c.GainOffset, c.GainPerSecond});
        return kept;
    }

    // x -= the components' sound (their gain taken as constant), x[0] at their positions.
    void Subtract(int rate, const std::vector<Component> &comps, std::span<double> x) const {
        for (const Component &c : comps) {
            const ToneTrack &track = tracks_[static_cast<std::size_t>(c.Track)];
            for (std::size_t u = 0; u < x.size(); ++u)
                x[u] -= c.Gain * track.Value(c.Position + static_cast<double>(u) / rate);
        }
    }

    // The components' sound offsetSeconds from the sample at their positions, their gains
    // running on along their slopes.
    double Model(const std::vector<Component> &comps, double offsetSeconds) const {
        double sum = 0.0;
        for (const Component &c : comps)
            sum += (c.Gain + c.GainPerSecond * (offsetSeconds - c.GainOffset)) *
                   tracks_[static_cast<std::size_t>(c.Track)].Value(c.Position + offsetSeconds);
        return sum;
    }

    // Between the last window the old state explained (from sample `from`) and the window
    // where the new state was found (at `to`): the sample where one gave way to the other.
    // Ends the pieces that stop there and begins those that start there.
    void Switch(int runIndex, std::int64_t from, std::int64_t to, std::vector<Component> &before,
                std::vector<Component> &after) {
        const HeardRun &run = runs_[static_cast<std::size_t>(runIndex)];
        const double rate = run.Rate;
        std::vector<double> errorBefore, errorAfter;
        for (std::int64_t n = from; n < to; ++n) {
            const double x = run.Samples[static_cast<std::size_t>(n)];
            errorBefore.push_back(x - Model(before, static_cast<double>(n - from) / rate));
            errorAfter.push_back(x - Model(after, -static_cast<double>(to - n) / rate));
        }
        // Sum of squares with the old state up to m, the new one from m on: the best m.
        const std::size_t count = errorBefore.size();
        std::vector<double> tail(count + 1, 0.0);
        for (std::size_t i = count; i-- > 0;)
            tail[i] = tail[i + 1] + errorAfter[i] * errorAfter[i];
        double head = 0.0, best = tail[0];
        std::size_t switchAt = 0;
        for (std::size_t m = 1; m <= count; ++m) {
            head += errorBefore[m - 1] * errorBefore[m - 1];
            if (head + tail[m] < best) {
                best = head + tail[m];
                switchAt = m;
            }
        }
        NoteUnexplained(run, from, errorBefore, errorAfter, switchAt);
        const double switchTime = run.StartSeconds + static_cast<double>(from + static_cast<std::int64_t>(switchAt)) / rate;
        const double beforeOffset = static_cast<double>(switchAt) / rate;
        const double afterOffset = -static_cast<double>(to - from - static_cast<std::int64_t>(switchAt)) / rate;
        for (Component &b : before) {
            const auto match = std::find_if(after.begin(), after.end(), [&](const Component &a) {
                return a.Track == b.Track && a.Piece < 0 &&
                       std::abs((a.Position + afterOffset) - (b.Position + beforeOffset)) < kSameSeconds;
            });
            if (match != after.end()) {
                match->Piece = b.Piece;
                match->Slip = b.Slip;
            } else if (b.Piece >= 0) {
                result_.Pieces[static_cast<std::size_t>(b.Piece)].End = switchTime;
            }
        }
        for (Component &a : after) {
            if (a.Piece >= 0)
                continue;
            Piece piece{a.Track, runIndex, switchTime, switchTime, a.Position + afterOffset, {}};
            // Faded in from below what the fit sees: it began at its own start.
            if (std::abs(a.Gain) < kFadeInGain && piece.Position > 0.0 &&
                piece.Position <= kFadeInReachSeconds &&
                switchTime - piece.Position >= run.StartSeconds &&
                !EndsAfter(a.Track, switchTime - piece.Position)) {
                piece.Start -= piece.Position;
                piece.Position = 0.0;
            }
            a.Piece = static_cast<int>(result_.Pieces.size());
            result_.Pieces.push_back(piece);
        }
    }

    bool EndsAfter(int track, double time) const {
        return std::any_of(result_.Pieces.begin(), result_.Pieces.end(),
                           [&](const Piece &p) { return p.Track == track && p.End > time; });
    }

    void NoteUnexplained(const HeardRun &run, std::int64_t from, const std::vector<double> &before,
                         const std::vector<double> &after, std::size_t switchAt) {
        for (std::size_t i = 0; i < before.size(); ++i) {
            const double error = i < switchAt ? before[i] : after[i];
            if (std::abs(error) <= kUnexplainedError)
                continue;
            const double t = run.StartSeconds + static_cast<double>(from + static_cast<std::int64_t>(i)) / run.Rate;
            AddUnexplained(t, t + 1.0 / run.Rate);
        }
    }

    void AddUnexplained(double start, double end) {
        auto &spans = result_.Unexplained;
        if (!spans.empty() && start <= spans.back().End + 1e-9)
            spans.back().End = std::max(spans.back().End, end);
        else
            spans.push_back({start, end});
    }

    // A window the state explains: gains noted, positions corrected and moved on.
    void Accept(const HeardRun &run, std::int64_t at, std::int64_t length,
                std::vector<Component> &comps, const Fit &fit) {
        const double start = run.StartSeconds + static_cast<double>(at) / run.Rate;
        const double span = static_cast<double>(length) / run.Rate;
        const double centre = start + span / 2.0;
        result_.FitTimes.push_back(centre);
        std::vector<Component> kept;
        for (std::size_t c = 0; c < comps.size(); ++c) {
            Component comp = comps[c];
            Piece &piece = result_.Pieces[static_cast<std::size_t>(comp.Piece)];
            if (std::abs(comp.Gain) >= kDropGain) {
                comp.Quiet = 0;
                piece.End = start + span;
                piece.Gains.push_back({centre, comp.Gain});
            } else {
                ++comp.Quiet;
            }
            comp.Position += fit.Shifts[c];
            comp.Slip += fit.Shifts[c];
            if (std::abs(comp.Slip) > kSlipSeconds) {
                // The position drifted away from the piece's: what follows is a piece of its own.
                piece.End = std::min(piece.End, centre);
                Piece next{comp.Track, piece.Run, centre, std::max(centre, piece.End),
                           comp.Position + span / 2.0, {}};
                comp.Piece = static_cast<int>(result_.Pieces.size());
                comp.Slip = 0.0;
                result_.Pieces.push_back(next);
            }
            comp.Position += span;
            comp.GainOffset -= span;
            const double trackSeconds = tracks_[static_cast<std::size_t>(comp.Track)].Seconds();
            if (comp.Quiet < kQuietWindowsToDrop && comp.Position < trackSeconds)
                kept.push_back(comp);
        }
        comps = std::move(kept);
    }

    void TrackRun(int runIndex) {
        const HeardRun &run = runs_[static_cast<std::size_t>(runIndex)];
        const auto total = static_cast<std::int64_t>(run.Samples.size());
        const std::int64_t window = std::max<std::int64_t>(8, std::lround(kWindowSeconds * run.Rate));
        const Fitter fitter(tracks_, run.Rate);
        // What sounded at the end of the run before, still at its positions: the sound of a run
        // that follows a silence goes on where it stopped.
        std::vector<Component> comps = carried_;
        for (Component &c : comps)
            c.Piece = -1;
        std::vector<Component> previous; // nothing is known to sound at the run's first sample
        bool lost = true;
        std::int64_t at = 0;
        // Where the search for a new state begins: after the window the old state failed in,
        // so that every search moves on.
        std::int64_t searchFrom = 0;
        while (at + window <= total) {
            if (lost) {
                std::vector<Component> found;
                std::int64_t next = searchFrom;
                while (next + window <= total && !Acquire(run, next, Moved(comps, next - at, run.Rate), found))
                    next += window;
                if (next + window > total) {
                    EndPieces(previous, run.StartSeconds + static_cast<double>(at) / run.Rate);
                    const std::span<const double> rest(run.Samples.data() + at, static_cast<std::size_t>(total - at));
                    if (Rms(rest) >= kResidualRms)
                        AddUnexplained(run.StartSeconds + static_cast<double>(at) / run.Rate, run.EndSeconds());
                    previous.clear();
                    comps.clear();
                    break;
                }
                Switch(runIndex, at, next, previous, found);
                comps = found;
                at = next;
                lost = false;
                continue;
            }
            std::vector<Component> trial = comps;
            const Fit fit = fitter.Solve(
                std::span<const double>(run.Samples.data() + at, static_cast<std::size_t>(window)), trial);
            if (fit.Rms >= kResidualRms) {
                previous = comps; // the state up to this window, to find where it changed
                lost = true;
                searchFrom = at + window;
                continue;
            }
            Accept(run, at, window, trial, fit);
            comps = trial;
            previous = comps;
            at += window;
        }
        // The last part-window keeps what the last window found.
        for (const Component &c : comps)
            if (c.Piece >= 0)
                result_.Pieces[static_cast<std::size_t>(c.Piece)].End = run.EndSeconds();
        carried_ = Moved(comps, total - at, run.Rate);
    }

    static std::vector<Component> Moved(std::vector<Component> comps, std::int64_t samples, int rate) {
        for (Component &c : comps) {
            c.Position += static_cast<double>(samples) / rate;
            c.GainOffset -= static_cast<double>(samples) / rate;
        }
        return comps;
    }

    void EndPieces(const std::vector<Component> &comps, double time) {
        for (const Component &c : comps)
            if (c.Piece >= 0)
                result_.Pieces[static_cast<std::size_t>(c.Piece)].End =
                    std::min(result_.Pieces[static_cast<std::size_t>(c.Piece)].End, time);
    }

    std::span<const HeardRun> runs_;
    std::span<const ToneTrack> tracks_;
    std::map<long long, SearchTable> tables_;
    std::vector<Component> carried_;
    Tracking result_;
};

} // namespace

double Piece::GainAt(double t) const {
    if (t < Start || t > End || Gains.empty())
        return 0.0;
    const auto later = std::lower_bound(Gains.begin(), Gains.end(), t,
                                        [](const GainPoint &p, double time) { return p.Time < time; });
    if (later == Gains.begin())
        return later->Gain;
    if (later == Gains.end())
        return Gains.back().Gain;
    const GainPoint &a = *(later - 1), &b = *later;
    return a.Gain + (b.Gain - a.Gain) * (t - a.Time) / (b.Time - a.Time);
}

Tracking TrackHeard(std::span<const HeardRun> runs, std::span<const ToneTrack> tracks) {
    return Tracker(runs, tracks).Run();
}

} // namespace audit
