"""CSV files of bars that every reader of bars refuses in the same words: kavno_feed.candles(), examples/backtest.py
and the demo engine. Each message is what follows the reader's own prefix; the file is bars.csv, read as Min1."""

ROW = "1704067260000,100,101,99,100,5"
NEXT = "1704067320000,100,101,99,100,5"
ORDER_ADVICE = ("; sort the bars by time and drop repeated rows, read a table of several instruments with candles_by(), "
                "and check that interval and time_unit are the data's")

BAD_FILES = [
    ("fraction", f"{ROW}\n1704067320000.5,100,101,99,100,5\n",
     "bars.csv:2: column 'open_time_ms', row 1: '1704067320000.5' is not a whole number of milliseconds"),
    ("exponent", "1.70406726e12,100,101,99,100,5\n",
     "bars.csv:1: column 'open_time_ms', row 0: '1.70406726e12' is not a whole number of milliseconds"),
    ("semicolons", "1704067260000;100;101;99;100;5\n",
     "bars.csv:1: expected 6 comma-separated fields (open_time_ms,open,high,low,close,volume), found 1"),
    ("seven fields", f"{ROW},7\n",
     "bars.csv:1: expected 6 comma-separated fields (open_time_ms,open,high,low,close,volume), found 7"),
    ("nul byte", f"{ROW}\x00\n", "bars.csv:1: column 'volume', row 0: '5\\x00' is not a number"),
    ("text price", "1704067260000,10abc,101,99,100,5\n", "bars.csv:1: column 'open', row 0: '10abc' is not a number"),
    ("nan price", f"{ROW}\n1704067320000,100,101,99,nan,5\n",
     "bars.csv:2: column 'close', row 1: nan is not a finite number; drop or fill such bars before reading them"),
    ("infinite price", "1704067260000,100,inf,99,100,5\n",
     "bars.csv:1: column 'high', row 0: inf is not a finite number; drop or fill such bars before reading them"),
    ("negative volume", "1704067260000,100,101,99,100,-5\n",
     "bars.csv:1: column 'volume', row 0: -5 is not a finite number of at least 0"),
    ("infinite volume", "1704067260000,100,101,99,100,inf\n",
     "bars.csv:1: column 'volume', row 0: inf is not a finite number of at least 0"),
    ("low above", "1704067260000,100,101,100.5,100,5\n",
     "bars.csv:1: column 'low', row 0: 100.5 is above min(open, close) = 100"),
    ("high below", "1704067260000,100,100.5,99,101,5\n",
     "bars.csv:1: column 'high', row 0: 100.5 is below max(open, close) = 101"),
    ("leading space", " 1704067260000,100,101,99,100,5\n",
     "bars.csv:1: column 'open_time_ms', row 0: ' 1704067260000' is not a whole number of milliseconds"),
    ("inexact header", "\ufeff open_time_ms,open,high,low,close,volume\n",  # a BOM is dropped, a header must be exact
     "bars.csv:1: column 'open_time_ms', row 0: ' open_time_ms' is not a whole number of milliseconds"),
    ("empty line", f"{ROW}\n\n{NEXT}\n", "bars.csv:2: an empty line"),
    ("repeated row", f"{ROW}\n{ROW}\n",
     "bars.csv:2: column 'open_time_ms', row 1: 2024-01-01T00:01:00Z does not come after the bar before, which "
     "closes at 2024-01-01T00:01:59.999Z" + ORDER_ADVICE),
    ("newest first", f"{NEXT}\n{ROW}\n",
     "bars.csv:2: column 'open_time_ms', row 1: 2024-01-01T00:01:00Z does not come after the bar before, which "
     "closes at 2024-01-01T00:02:59.999Z" + ORDER_ADVICE),
    ("overlapping bars", f"{ROW}\n1704067290000,100,101,99,100,5\n",
     "bars.csv:2: column 'open_time_ms', row 1: 2024-01-01T00:01:30Z does not come after the bar before, which "
     "closes at 2024-01-01T00:01:59.999Z" + ORDER_ADVICE),
    ("seconds as milliseconds", "1704067260,100,101,99,100,5\n1704067320,100,101,99,100,5\n",
     "bars.csv:2: column 'open_time_ms', row 1: 1970-01-20T17:21:07.320Z does not come after the bar before, which "
     "closes at 1970-01-20T17:22:07.259Z" + ORDER_ADVICE),
    ("microseconds as milliseconds", "1704067260000000,100,101,99,100,5\n",
     "bars.csv:1: column 'open_time_ms', row 0: 1704067260000000 ms is outside the years 1 to 9999 that a datetime "
     "holds"),
    ("beyond int64", "9223372036854775807,1,1,1,1,1\n",
     "bars.csv:1: column 'open_time_ms', row 0: 9223372036854775807 ms is outside the years 1 to 9999 that a "
     "datetime holds"),
    ("no rows", "", "bars.csv: no bars"),
    ("header only", "open_time_ms,open,high,low,close,volume\n", "bars.csv: no bars"),
]
