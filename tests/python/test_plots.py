"""The pictures of examples/plots.py, drawn headless: what they plot (lengths, fills, cells, labels) and the files
the scripts write."""

import math
import pathlib
import sys

import pytest

matplotlib = pytest.importorskip("matplotlib")
np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pytest.importorskip("pyarrow.parquet")

import kavno  # noqa: E402
import kavno_feed  # noqa: E402

pytestmark = pytest.mark.not_under_memcheck
ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
import backtest  # noqa: E402
import generate  # noqa: E402
import plots  # noqa: E402
import sweep  # noqa: E402

sys.path.pop(0)
matplotlib_image = pytest.importorskip("matplotlib.image")

IDLE_STRATEGY = '''
class Strategy:
    def __init__(self, **parameters):
        self.log = []

    def on_candle(self, bar):
        return None


def create(**parameters):
    return Strategy(**parameters)
'''


def series(count, code="BTCUSDT"):
    return kavno_feed.candles(generate.bars(code, count), code=code, interval=kavno.CandleInterval.Min1)


def run_backtest(candles, strategy=None):
    module = backtest.load_strategy(strategy or ROOT / "examples" / "strategy.py")
    return backtest.backtest(module.create(), candles)


def artist(figure, gid):
    found = [a for axes in figure.axes for a in [*axes.lines, *axes.collections, *axes.images] if a.get_gid() == gid]
    assert len(found) == 1, gid
    return found[0]


@pytest.mark.parametrize("count", [1, 5, 39, 40])
def test_an_envelope_of_few_points_is_every_point(count):
    assert plots.envelope(np.arange(count, dtype=float), buckets=20).tolist() == list(range(count))


@pytest.mark.parametrize("count", [41, 1000, 12_345])
def test_an_envelope_keeps_order_ends_and_every_runs_extremes(count):
    values = np.random.default_rng(count).normal(size=count).cumsum()
    picked = plots.envelope(values, buckets=20)
    assert len(picked) <= 2 * 20 + 2
    assert picked[0] == 0 and picked[-1] == count - 1
    assert np.all(np.diff(picked) > 0)
    assert values.argmin() in picked and values.argmax() in picked
    size = math.ceil(count / 20)
    for start in range(0, count, size):  # each run's least and greatest value is drawn
        run = values[start:start + size]
        assert start + run.argmin() in picked and start + run.argmax() in picked


def test_the_backtest_picture_plots_every_bar_every_fill_and_the_reports_pnl():
    candles = series(3000)
    report = run_backtest(candles)
    assert report.trades > 10
    figure = plots.backtest_figure(candles, report)
    closes = pa.table(candles).column("close").to_numpy()
    close = artist(figure, "close")
    assert close.get_ydata().tolist() == closes.tolist()
    buys, sells = artist(figure, "buys").get_offsets(), artist(figure, "sells").get_offsets()
    assert len(buys) + len(sells) == report.trades
    bought = [order.filled_price for order in report.orders if order.side == kavno.TradeSide.Long]
    sold = [order.filled_price for order in report.orders if order.side == kavno.TradeSide.Short]
    assert buys[:, 1].tolist() == bought and sells[:, 1].tolist() == sold
    # a fill is marked at the bar it was made at
    bar_times = matplotlib.dates.date2num(close.get_xdata())
    close_of = dict(zip(bar_times.tolist(), closes.tolist()))
    assert all(close_of[time] == price for time, price in [*buys.tolist(), *sells.tolist()])
    equity = artist(figure, "equity").get_ydata()
    assert len(equity) == len(candles)
    assert equity[-1] == pytest.approx(report.pnl)
    drawdown = artist(figure, "drawdown").get_paths()[0].vertices[:, 1]
    assert drawdown.max() == 0.0 and drawdown.min() == pytest.approx(
        (equity - np.maximum.accumulate(equity)).min())


def test_a_long_backtest_draws_its_envelope():
    count = 2 * plots.BUCKETS + 3000
    candles = series(count)
    figure = plots.backtest_figure(candles, run_backtest(candles))
    closes = pa.table(candles).column("close").to_numpy()
    drawn = artist(figure, "close").get_ydata()
    assert len(drawn) <= 2 * plots.BUCKETS + 2
    assert drawn.min() == closes.min() and drawn.max() == closes.max()


def test_a_backtest_without_fills_draws_a_flat_equity(tmp_path):
    (tmp_path / "idle.py").write_text(IDLE_STRATEGY)
    candles = series(500)
    figure = plots.backtest_figure(candles, run_backtest(candles, tmp_path / "idle.py"))
    assert len(artist(figure, "buys").get_offsets()) == len(artist(figure, "sells").get_offsets()) == 0
    assert not artist(figure, "equity").get_ydata().any()


@pytest.fixture(scope="module")
def bars_file(tmp_path_factory):
    return generate.write(tmp_path_factory.mktemp("bars"), ["BTCUSDT"], 2000)[0]


def test_the_backtest_script_writes_a_png_of_the_figures_size(bars_file, tmp_path, capsys):
    picture = tmp_path / "backtest.png"
    assert backtest.main([str(bars_file), "--log", "0", "--plot", str(picture)]) == 0
    assert capsys.readouterr().out.splitlines()[-1] == f"picture: {picture}"
    assert matplotlib_image.imread(picture).shape == (700, 1100, 4)  # 11 x 7 inches at 100 dpi


@pytest.mark.parametrize(("name", "message"), [
    ("bars.txt", "--plot {}: the picture is a PNG file (FILE.png)"),
    ("missing/bars.png", "--plot {}: cannot be written"),
])
def test_the_backtest_script_refuses_a_picture_it_cannot_write(bars_file, tmp_path, capsys, name, message):
    picture = tmp_path / name
    with pytest.raises(SystemExit) as stopped:
        backtest.main([str(bars_file), "--plot", str(picture)])
    assert stopped.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1].endswith(f"error: {message.format(picture)}")


GRID = {"fast": [5, 10, 20], "slow": [40, 80]}


@pytest.fixture(scope="module")
def sweep_data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sweep")
    generate.write(folder, ["BTCUSDT", "ETHUSDT"], 3000)
    return folder


@pytest.fixture(scope="module")
def sweep_table(sweep_data):
    return sweep.run_serially(sweep.tasks(sweep_data, GRID), sweep.Strategy.read(ROOT / "examples" / "strategy.py"),
                              "Min1")


def cell_values(table, code, metric):
    """The metric of each (slow, fast) cell of `code`, as the heat map must hold them."""
    rows = {(row["slow"], row["fast"]): row[metric] for row in table.to_pylist() if row["instrument"] == code}
    return [[rows[slow, fast] for fast in GRID["fast"]] for slow in GRID["slow"]]


@pytest.mark.parametrize("metric", ["pnl", "trades"])
def test_the_sweep_heat_map_has_a_labelled_panel_per_instrument(sweep_table, metric):
    figure = plots.sweep_figure(sweep_table, ["fast", "slow"], metric)
    panels = [axes for axes in figure.axes if axes.images]
    assert [axes.get_title() for axes in panels] == ["BTCUSDT", "ETHUSDT"]
    for axes in panels:
        assert axes.images[0].get_array().tolist() == cell_values(sweep_table, axes.get_title(), metric)
        assert [t.get_text() for t in axes.get_xticklabels()] == ["5", "10", "20"]
        assert [t.get_text() for t in axes.get_yticklabels()] == ["40", "80"]
        assert (axes.get_xlabel(), axes.get_ylabel()) == ("fast", "slow")
        assert len(axes.texts) == 6
    assert figure.get_suptitle() == f"{plots.METRIC_LABELS.get(metric, metric)} by fast and slow"


def test_a_failed_task_is_a_grey_cell_said_failed(sweep_table):
    failed = sweep_table.to_pylist()
    failed[0] |= {"pnl": None, "error": "RuntimeError: boom"}
    figure = plots.sweep_figure(pa.Table.from_pylist(failed), ["fast", "slow"])
    panel = figure.axes[0]
    assert panel.images[0].get_array().mask[0, 0]
    assert [text.get_text() for text in panel.texts].count("failed") == 1


def test_more_parameters_than_two_show_the_best_over_the_rest(sweep_table):
    rows = [row | {"fee": fee, "pnl": row["pnl"] + fee} for row in sweep_table.to_pylist() for fee in (0, 1000)]
    figure = plots.sweep_figure(pa.Table.from_pylist(rows), ["fast", "slow", "fee"])
    assert figure.get_suptitle() == "PnL by fast and slow, the best over fee"
    best = [[value + 1000 for value in line] for line in cell_values(sweep_table, "BTCUSDT", "pnl")]
    assert figure.axes[0].images[0].get_array().tolist() == best


def test_one_parameter_draws_one_line_of_cells(sweep_table):
    only_fast = sweep_table.filter(pa.compute.equal(sweep_table.column("slow"), 40)).drop_columns(["slow"])
    figure = plots.sweep_figure(only_fast, ["fast"])
    assert figure.axes[0].images[0].get_array().shape == (1, 3)
    assert figure.get_suptitle() == "PnL by fast"


def test_the_sweep_script_draws_the_metric_it_is_given(sweep_data, tmp_path, capsys):
    picture = tmp_path / "sweep.png"
    assert sweep.main([str(sweep_data), "--serial", "--out", str(tmp_path / "rows.parquet"), "--plot", str(picture),
                       "--metric", "trades"]) == 0
    assert capsys.readouterr().out.splitlines()[-1] == f"picture: {picture}"
    height, width, _ = matplotlib_image.imread(picture).shape
    assert width > height > 200


def test_the_sweep_script_refuses_an_unknown_metric(sweep_data, capsys):
    with pytest.raises(SystemExit):
        sweep.main([str(sweep_data), "--serial", "--metric", "error"])
    assert "argument --metric: invalid choice: 'error'" in capsys.readouterr().err
