#!/usr/bin/python3
"""qm4720d's web page in a real browser (headless Chromium): the simulators' values appear on it
with their labels, units and quality in words, in the same columns in every line's card; a trend
opened from its address is drawn by Chart.js from no more points than the chart is wide, its span
and zoom go back into the address, and its CSV link answers; a killed simulator turns its meters
stale and then its line lost while the other line stays live, and a Chart.js that is not installed
is said on the page.

    web_page_client.py --sim QM4720SIM --service QM4720D --module MODULE --chromium CHROMIUM
                       --screenshot PAGE.png --trend-screenshot TREND.png

The lines and meters are those of qm4720d_lines.py, with labels for station 1 and [history] and
[http] added. Screenshots for a person to look at: PAGE.png (values, a silent meter, a trend),
TREND.png (the trend alone), and PAGE-line-lost.png beside PAGE.png.
"""
import json
import os
import signal
import time
import urllib.error
import urllib.request

from browser_session import BrowserSession
from qm4720d_lines import CONFIG, LINES, ServiceWithLines, service_arguments
from server_under_test import Checks, free_port, wait_for_port

EXTRA_CONFIG = """
[history]
database = "{{dir}}/history.db"

[http]
port = {http_port}
chart_js = "{chart_js}"
"""

# Station 1's PV and SP are labelled, OP is not: the page says what the model's table says of it.
POLL_A1 = """registers = ["PV", "OP", "SP"]
        interval_s = 0.2
"""
LABELS_A1 = POLL_A1 + """        [[line.meter.register]]
        name = "PV"
        label = "Oven 3 temperature"
        unit = "°C"
        [[line.meter.register]]
        name = "SP"
        label = "Oven 3 set point"
        unit = "°C"
"""
assert POLL_A1 in CONFIG
LABELLED_CONFIG = CONFIG.replace(POLL_A1, LABELS_A1, 1)

# What the simulators hold (qm4720d_lines.py), as the page is to show it.
SHOWN = [("a", 1, "PV", "21.5"), ("a", 1, "OP", "-3.25"), ("a", 1, "SP", "100.25"),
         ("a", 12, "PV", "7.125"), ("b", 3, "PV", "-12.75"), ("b", 3, "SP", "60")]

CHART_JS = "/usr/share/javascript/chart.js/chart.min.js"


def register_row(line, station, register):
    return (f"document.querySelector('tr.register[data-line=\"{line}\"]"
            f"[data-station=\"{station}\"][data-register=\"{register}\"]')")


def meter_state(line, station):
    row = f"document.querySelector('tr.meter[data-line=\"{line}\"][data-station=\"{station}\"]')"
    return f"({row} || {{dataset: {{}}}}).dataset.state"


def cell(line, station, register, name):
    return f"({register_row(line, station, register)}?.querySelector('.{name}')?.textContent)"


def check_live_page(checks, browser):
    for line, station, register, text in SHOWN:
        got = browser.wait_for(f"{cell(line, station, register, 'value')} === {json.dumps(text)}",
                               10)
        checks.check(f"the page shows {register} of station {station} on line {line} as {text}",
                     got, browser.evaluate(cell(line, station, register, "value")))
    for line, station, state in [("a", 1, "answering"), ("a", 12, "answering"),
                                 ("b", 3, "answering"), ("b", 7, "not polled"),
                                 ("b", 9, "silent")]:
        got = browser.wait_for(f"{meter_state(line, station)} === '{state}'", 10)
        checks.check(f"station {station} of line {line} is marked {state}", got,
                     browser.evaluate(meter_state(line, station)))
    # The silent meter's last error: the driver's message and its English gloss.
    error = browser.evaluate(cell("b", 9, "PV", "error"))
    checks.check("the silent meter's PV shows the driver's error with its gloss",
                 error and " — " in error, error)
    for line, station, register, column, text in [
            ("a", 1, "PV", "label", "Oven 3 temperature"), ("a", 1, "PV", "unit", "°C"),
            ("a", 1, "SP", "label", "Oven 3 set point"), ("a", 1, "OP", "label", ""),
            ("a", 1, "OP", "unit", ""), ("a", 1, "PV", "quality", "good"),
            ("b", 9, "PV", "quality", "bad: no answer")]:
        shown = cell(line, station, register, column)
        checks.check(f"{register} of station {station} on line {line} shows {column} {text!r}",
                     browser.wait_for(f"{shown} === {json.dumps(text)}", 10),
                     browser.evaluate(shown))
    titles = browser.evaluate(
        "[" + ", ".join(f"{register_row(*r)}.querySelector('.{c}').title" for r, c in
                        [(("a", 1, "OP"), "register"), (("b", 9, "PV"), "quality")]) + "]")
    checks.check("OP, unlabelled, says on hover what the model's table holds of it",
                 titles[0].startswith("FLOAT register 5 of the default model's table"), titles[0])
    checks.check("the silent meter's quality gives its numbers on hover",
                 titles[1] == "quality 0, error code 7", titles[1])
    lefts = browser.evaluate(
        "[...document.querySelectorAll('section.line')].map(s =>"
        " [...s.querySelectorAll('th')].map(th => Math.round(th.getBoundingClientRect().left)))")
    checks.check("every line's card has the same columns in the same places",
                 len(lefts) == 2 and lefts[0] == lefts[1] and len(lefts[0]) == 6, lefts)


HISTORY_REQUESTS = ("performance.getEntriesByType('resource').map(e => e.name)"
                    ".filter(n => n.includes('/api/v1/history?'))"
                    ".map(n => Object.fromEntries(new URL(n).searchParams))")
TREND = ("(() => { const c = Chart.getChart(document.getElementById('chart'));"
         " const d = c ? c.data.datasets : [];"
         " const good = (i) => d[i].data.filter(p => p.y !== null);"
         " return d.length ? {n: good(2).length,"
         " ys: [...new Set([0, 1, 2].flatMap(i => good(i).map(p => p.y)))],"
         " increasing: d[2].data.every((p, i) => i === 0 || p.x > d[2].data[i - 1].x)} : null;"
         " })()")


def drag(browser, selector, from_fraction, to_fraction):
    """A mouse drag across `selector`'s element, as a person's hand makes it."""
    box = browser.evaluate(f"(() => {{ const e = document.querySelector('{selector}');"
                           " e.scrollIntoView({block: 'center'});"
                           " const r = e.getBoundingClientRect();"
                           " return [r.left, r.top, r.width, r.height]; })()")
    y = box[1] + box[3] / 2
    xs = [box[0] + box[2] * f for f in (from_fraction, (from_fraction + to_fraction) / 2,
                                        to_fraction)]
    browser.call("Input.dispatchMouseEvent", type="mousePressed", x=xs[0], y=y, button="left",
                 clickCount=1)
    for x in xs[1:]:
        browser.call("Input.dispatchMouseEvent", type="mouseMoved", x=x, y=y, button="left")
    browser.call("Input.dispatchMouseEvent", type="mouseReleased", x=xs[-1], y=y, button="left",
                 clickCount=1)


def open_afresh(browser, url):
    """Loads `url` as a new document (not a change of the hash of a loaded page), and waits until
    the old one has gone, so that nothing is asked of it."""
    browser.navigate("about:blank")
    browser.wait_for("location.href === 'about:blank'", 5)
    browser.navigate(url)
    browser.wait_for(f"location.href === {json.dumps(url)} && document.readyState === 'complete'",
                     10)


def check_trend(checks, browser, url):
    # As from a link to the trend.
    open_afresh(browser, url + "#a/1/PV/hour")
    browser.wait_for("document.readyState !== 'loading' && window.qm4720 &&"
                     " performance.setResourceTimingBufferSize(100000) === undefined", 10)
    drawn = browser.wait_for(f"window.qm4720?.chartPoints?.() >= 3 && {TREND}", 30)
    checks.check("the page opened at #a/1/PV/hour draws PV's trend: mean and band all 21.5, in"
                 " time order", drawn and drawn["ys"] == [21.5] and drawn["increasing"],
                 drawn or browser.last_value)
    # The newest request: the chart may have narrowed after the first (a scroll bar came), and
    # is then asked for again.
    width = "document.getElementById('chart').clientWidth"
    fits = browser.wait_for(f"(a => a.length && a[a.length - 1].points <= {width})"
                            f"({HISTORY_REQUESTS})", 10)
    asked = browser.evaluate(HISTORY_REQUESTS)
    checks.check("it asks the history for PV of station 1, no more points than the chart is wide",
                 fits and all(q.get("line") == "a" and q.get("station") == "1"
                              and q.get("register") == "PV" and int(q.get("points", 0)) > 0
                              for q in asked), [asked[-2:], browser.evaluate(width)])
    trend_title = "document.getElementById('trend-title').textContent"
    checks.check("the trend's title names the register, its label and unit",
                 "station 1 · PV — Oven 3 temperature (°C)" in browser.evaluate(trend_title),
                 browser.evaluate(trend_title))
    checks.check("PV's row is marked as the one drawn",
                 browser.evaluate(f"{register_row('a', 1, 'PV')}.classList.contains('selected')"))
    csv = browser.evaluate("(a => a?.href ? fetch(a.href).then(r => r.text()) : null)"
                           "(document.getElementById('trend-csv'))")
    lines = csv.splitlines() if csv else []
    checks.check("the CSV link answers the points shown, one row each",
                 lines and lines[0] == "time,time_ms,min,max,mean,count,failed"
                 and len(lines) - 1 >= (drawn or {}).get("n", 1) and ",21.5,21.5,21.5," in csv,
                 lines[:3])

    browser.evaluate("document.querySelector('button[data-span=\"day\"]').click()")
    checks.check("choosing the day puts it in the address",
                 browser.wait_for("location.hash === '#a/1/PV/day'", 5),
                 browser.evaluate("location.hash"))
    browser.wait_for(f"{HISTORY_REQUESTS}.some(q => q.until - q.since === 86400000)", 10)
    drag(browser, "#chart", 0.5, 0.9)
    zoomed = browser.wait_for("location.hash.startsWith('#a/1/PV/') && location.hash.includes('..')"
                              " && window.qm4720.parseHash(location.hash)?.span === 'chosen'"
                              " && location.hash", 5)
    checks.check("dragging across the chart zooms in and says the range in the address", zoomed,
                 browser.evaluate("location.hash"))
    if zoomed:
        since, until = browser.evaluate(
            "(() => { const v = window.qm4720.parseHash(location.hash);"
            " return [v.since, v.until]; })()")
        checks.check("the zoomed range is under the day, and is what the history is asked for",
                     until - since < 86400000 * 0.5 and browser.wait_for(
                         f"{HISTORY_REQUESTS}.some(q => q.since === '{since}'"
                         f" && q.until === '{until}')", 10),
                     [since, until, browser.evaluate(HISTORY_REQUESTS)[-1:]])
    browser.evaluate("document.getElementById('zoom-back').click()")
    checks.check("zoom back returns to the day",
                 browser.wait_for("location.hash === '#a/1/PV/day'", 5),
                 browser.evaluate("location.hash"))
    browser.evaluate("document.querySelector('button[data-span=\"hour\"]').click()")
    browser.wait_for(f"window.qm4720.chartPoints() >= 3 && {TREND}", 20)


def check_failed_trend(checks, browser, url, since_ms):
    """After line a is lost: PV's trend since the test began, its failed reads gaps."""
    until_ms = int(time.time() * 1000) + 1000
    since, until = (time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(ms / 1000))
                    for ms in (since_ms, until_ms))
    # A chosen span is read once: opened again should the history not have committed them yet.
    for _ in range(3):
        open_afresh(browser, f"{url}#a/1/PV/{since}..{until}")
        shown = browser.wait_for("document.getElementById('trend-note').textContent"
                                 f".includes('failed') && {TREND}", 5)
        if shown:
            break
    nulls = browser.evaluate("Chart.getChart(document.getElementById('chart'))"
                             ".data.datasets[2].data.filter(p => p.y === null).length")
    checks.check("after the line is lost, PV's trend shows its failed reads as gaps, the good"
                 " ones still 21.5", shown and shown["ys"] == [21.5] and nulls > 0,
                 [browser.evaluate("document.getElementById('trend-note').textContent"), nulls])


def check_line_lost(checks, browser, lines):
    lines.kill_sim("a")
    for station in (1, 12):
        got = browser.wait_for(f"['stale', 'failed', 'line lost'].includes("
                               f"{meter_state('a', station)})", 5)
        checks.check(f"simulator a killed: station {station} turns stale within 5 s", got,
                     browser.evaluate(meter_state("a", station)))
    checks.check("a stale value is no longer shown as a value",
                 browser.wait_for(f"{cell('a', 1, 'PV', 'value')} === '—'", 5),
                 browser.evaluate(cell("a", 1, "PV", "value")))
    got = browser.wait_for("document.querySelector('section.line[data-line=\"a\"]').dataset.state"
                           f" === 'lost' && {meter_state('a', 1)} === 'line lost'"
                           f" && {meter_state('a', 12)} === 'line lost'", 15)
    checks.check("line a and its meters are then marked line lost", got,
                 [browser.evaluate(meter_state("a", s)) for s in (1, 12)])
    # Its link now names no device: the page says so beside the line's state, as the log does.
    reason = "document.querySelector('section.line[data-line=\"a\"] h2 .reason').textContent"
    checks.check("the page says why line a cannot be opened again",
                 browser.wait_for(f"{reason}.includes('no such device')", 10),
                 browser.evaluate(reason))
    checks.check("line b is still answering",
                 browser.evaluate(f"{meter_state('b', 3)} === 'answering'"),
                 browser.evaluate(meter_state("b", 3)))


def chart_js_status(url):
    try:
        with urllib.request.urlopen(url + "chart.js", timeout=5) as r:
            return r.status
    except urllib.error.HTTPError as e:
        return e.code
    except OSError:
        return None


def check_chart_js_missing(checks, browser, lines, url):
    """The configuration reloaded (SIGHUP) with a Chart.js path that does not exist."""
    with open(lines.config) as f:
        text = f.read()
    with open(lines.config, "w") as f:
        f.write(text.replace(CHART_JS, "/nonexistent/chart.min.js"))
    lines.service.send_signal(signal.SIGHUP)
    # The old server answers until the reload replaces it: wait for the new one's answer.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and chart_js_status(url) != 404:
        time.sleep(0.1)
    # The browser keeps /chart.js for an hour, as the service tells it to: not this time.
    browser.call("Network.enable")
    browser.call("Network.setCacheDisabled", cacheDisabled=True)
    open_afresh(browser, url)
    browser.wait_for(f"{register_row('b', 3, 'PV')} !== null", 10)
    browser.evaluate(f"{register_row('b', 3, 'PV')}.click()")
    note = browser.wait_for("document.getElementById('trend').dataset.state === 'error' &&"
                            " document.getElementById('trend-note').textContent", 10)
    checks.check("without Chart.js the page says where it looked and what to install",
                 note and "Chart.js not found at /nonexistent/chart.min.js" in note
                 and "libjs-chart.js" in note, note)


def main():
    args = service_arguments(__doc__, "--chromium", "--screenshot", "--trend-screenshot")
    checks = Checks()
    http_port = free_port()
    lines = ServiceWithLines(args.sim, args.service, args.module, free_port(), free_port(),
                             extra_config=EXTRA_CONFIG.format(http_port=http_port,
                                                              chart_js=CHART_JS),
                             lines=(LINES, LABELLED_CONFIG))
    url = f"http://127.0.0.1:{http_port}/"
    try:
        if not wait_for_port(http_port, lines.service):
            raise SystemExit("qm4720d did not listen for HTTP")
        with BrowserSession(args.chromium) as browser:
            browser.navigate(url)
            started_ms = int(time.time() * 1000)
            check_live_page(checks, browser)
            check_trend(checks, browser, url)
            browser.screenshot(args.screenshot)
            check_line_lost(checks, browser, lines)
            base, ext = os.path.splitext(args.screenshot)
            browser.screenshot(base + "-line-lost" + ext)
            check_failed_trend(checks, browser, url, started_ms)
            browser.screenshot(args.trend_screenshot, "#trend")
            checks.check("the screenshots are saved",
                         all(os.path.getsize(p) > 10000
                             for p in (args.screenshot, args.trend_screenshot)),
                         [args.screenshot, args.trend_screenshot])
            check_chart_js_missing(checks, browser, lines, url)
            checks.check("no script error on the page", not browser.page_errors,
                         browser.page_errors)
    finally:
        status = lines.stop()
    checks.check("qm4720d exits 0 on SIGTERM", status == 0, status)
    print("screenshots: " + args.screenshot + ", " + args.trend_screenshot)
    return checks.finish()


if __name__ == "__main__":
    raise SystemExit(main())
