"""Demo: python -m vexa prints MA and MA_A over a sample price series."""

import numpy as np

import vexa


def sample_prices(n=20, seed=7):
    """A reproducible random-walk close series with one missing bar."""
    rng = np.random.default_rng(seed)
    prices = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    prices = np.round(prices, 2)
    prices[0] = np.nan  # a leading gap: the averages start after it
    return prices


def main():
    close = sample_prices()
    periods = np.where(np.arange(close.size) % 2 == 0, 3.0, 5.0)
    np.set_printoptions(precision=3, linewidth=100)
    print(f"vexa {vexa.__version__}")
    print("close          ", close)
    print("MA(close, 5)   ", vexa.MA(close, 5))
    print("periods        ", periods)
    print("MA_A(close, p) ", vexa.MA_A(close, periods))


if __name__ == "__main__":
    main()
