#!/usr/bin/python3
"""The site's overview in a real headless Chromium: two lines of three meters,
each line with its own simulated meter, on a desktop and on a phone.

Checks that every meter has its card with its line and slave, that each
card's phase A current is what its own simulator served in the cycle the card
names (worked out here from the simulator's log), that nothing is wider than
the screen and every value is on it, and that a meter's page is reached from
its card and by its address. Saves a screenshot of each width.
"""
import argparse
from decimal import ROUND_HALF_UP, Decimal
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from host_process import start_host, stop  # noqa: E402
from sim_log import register_pair, served_cycles  # noqa: E402

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

CURRENT_A = 1792  # its high register; milliamperes, a load of each meter's own
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print(f"FAILED: {message}", file=sys.stderr)


def cards(driver):
    """Each card as the page shows it now, read in one go (cards are made anew each refresh)."""
    return driver.execute_script("""
        return [...document.querySelectorAll('.meter-glance')].map((c) => ({
            device: Number(c.dataset.device), where: c.querySelector('.where').textContent,
            badge: c.querySelector('.freshness').textContent,
            current: (c.querySelector('dd[data-column="current_1_a"]') || {}).firstChild?.textContent}));
    """)


def wait_for(driver, what, seconds, condition):
    try:
        WebDriverWait(driver, seconds, poll_frequency=0.2).until(condition)
    except TimeoutException:
        check(False, f"waited {seconds} s for {what}")


def check_layout(driver, width_name):
    width = driver.execute_script("return document.documentElement.clientWidth")
    check(driver.execute_script("return document.documentElement.scrollWidth") <= width,
          f"no horizontal scrolling at {width_name}")
    beyond = driver.execute_script(
        "return [...document.querySelectorAll('.meter-glance dd, .meter-glance h3, #site-energy td')].filter((e) => "
        "e.getBoundingClientRect().right > arguments[0] + 0.5).length", width)
    check(beyond == 0, f"every value within the screen at {width_name}: {beyond} beyond it")


def check_cards(driver, logs, slaves):
    shown = cards(driver)
    check(sorted(c["device"] for c in shown) == sorted(slaves), f"a card for every meter: {shown}")
    for card in shown:
        line, slave, name = slaves[card["device"]]
        check(card["where"].startswith(f"{name} · slave {slave} "),
              f"card {card['device']} names its line and slave: {card['where']}")
        if not card["badge"].startswith("live: cycle "):
            check(False, f"card {card['device']} is live: {card['badge']}")
            continue
        cycle = int(card["badge"].split()[-1])
        bank = served_cycles(logs[line], slave).get(cycle)
        expected = None if bank is None else f"{register_pair(bank, CURRENT_A) / 1000:.3f}"
        check(card["current"] == expected,
              f"card {card['device']} shows its own simulator's phase A current of cycle {cycle}: "
              f"{card['current']} (served {expected})")


def readable(wh):
    """An energy as the page shows it: kWh with two decimals below 10 kWh, one from there, MWh with three from
    1,000 kWh, halves up."""
    if wh is None:
        return "–"
    scale, places, unit = ((Decimal(10**6), "0.001", "MWh") if wh >= 10**6 else (Decimal(1000), "0.1", "kWh")
                           if wh >= 10**4 else (Decimal(1000), "0.01", "kWh"))
    return f"{(Decimal(wh) / scale).quantize(Decimal(places), rounding=ROUND_HALF_UP)} {unit}"


def check_site_energy(driver, width_name):
    """The energy table shows what the API served, and its total row adds the meters up."""
    shown = driver.execute_script("""
        return {answers: page.siteEnergy, rows: [...document.querySelectorAll('#site-energy tr')]
          .filter((tr) => tr.querySelectorAll('td').length).map((tr) => [...tr.querySelectorAll('td')].map((td) => td.textContent))};
    """)
    answers, rows = shown["answers"], shown["rows"]
    check(len(rows) == len(answers[0]["meters"]) + 1, f"a row per meter and a total at {width_name}: {rows}")
    for column, answer in enumerate(answers, start=1):
        values = [m["active_energy_pos_wh"] for m in answer["meters"]]
        check([row[column] for row in rows[:-1]] == [readable(v) for v in values],
              f"each meter's {answer['period']} as served: {[row[column] for row in rows[:-1]]} vs {values}")
        known = [v for v in values if v is not None]
        total = answer["total"]["active_energy_pos_wh"]
        check(total == (sum(known) if known else None), f"the {answer['period']} total adds the meters up: {total} vs {known}")
        check(rows[-1][column] == readable(total), f"the {answer['period']} total shown: {rows[-1][column]} vs {total}")
    today = [m["active_energy_pos_wh"] for m in answers[0]["meters"]]
    check(all(v is not None and v > 0 for v in today), f"every meter used energy today: {today}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--config", required=True)
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="qv5810_site_")
    with open(args.config, encoding="utf-8") as f:
        config = json.load(f)
    logs, slaves = [], {}
    for number, line in enumerate(config["lines"]):
        logs.append(os.path.join(work, f"line{number}.log"))
        line["simulator_args"] = [f"--log={logs[-1]}"]
        for device in line["devices"]:
            slaves[device["data_id"]] = (number, device["slave"], line.get("name", f"simulated line {number + 1}"))
    config_path = os.path.join(work, "site.json")
    with open(config_path, "w", encoding="utf-8") as f:
        json.dump(config, f)
    host, url = start_host([args.host, "--plugin", args.plugin, "--config", config_path, "--http", "127.0.0.1:0",
                            "--interval", "0.5", "--quiet", "--history", os.path.join(work, "history.db"),
                            "--history-batch-s", "0.5"], "live view at ")
    if url is None:
        print("qmxhost did not start its live view", file=sys.stderr)
        return 1

    options = Options()
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu", "--lang=en"):
        options.add_argument(flag)
    options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        for width, height, mobile, suffix in ((1400, 1000, False, ""), (390, 844, True, "-phone")):
            driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                   {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})
            driver.get(url)
            wait_for(driver, f"every card live at {width} px", 60,
                     lambda d: len(cards(d)) == len(slaves) and all(c["badge"].startswith("live") for c in cards(d)))
            check_cards(driver, logs, slaves)
            # Two readings of each meter make its first energy of the day.
            wait_for(driver, f"the energy table at {width} px", 60, lambda d: d.execute_async_script(
                "const done = arguments[arguments.length - 1];"
                "refreshSiteEnergy().then(() => setTimeout(() => done(page.siteEnergy"
                " && page.siteEnergy[0].meters.every((m) => m.active_energy_pos_wh > 0)), 500));"))
            check_site_energy(driver, f"{width} px")
            check_layout(driver, f"{width} px")
            driver.save_screenshot(args.screenshot.replace(".png", f"{suffix}.png"))

        # From the overview to a meter's page, and to one by its address.
        driver.find_element(By.CSS_SELECTOR, '.meter-glance[data-device="5"]').click()
        wait_for(driver, "meter 5's page from its card", 30,
                 lambda d: "data id 5" in d.find_element(By.ID, "identity").text)
        check(driver.current_url.endswith("?device=5"), f"the address names the meter: {driver.current_url}")
        check_layout(driver, "390 px, a meter's page")
        driver.get(url + "?device=2")
        wait_for(driver, "meter 2's page by its address", 30,
                 lambda d: "data id 2" in d.find_element(By.ID, "identity").text)
        check(not driver.find_element(By.ID, "site").is_displayed(), "a meter's page shows no overview")
        driver.find_element(By.ID, "to-site").click()
        wait_for(driver, "the overview again", 30, lambda d: len(cards(d)) == len(slaves))
        print(f"screenshots: {args.screenshot}")
    finally:
        driver.quit()
        check(stop(host), "qmxhost ended on SIGINT")
    if failures:
        print(f"{len(failures)} check(s) failed", file=sys.stderr)
        return 1
    print("site page: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
