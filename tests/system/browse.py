#!/usr/bin/python3
"""Opens a running daemon's status page in headless Chromium and reports
what it shows, one fact a line, for the test to compare with the status
service and the metrics; then stops the daemon and reports the banner.

Arguments: port, daemon pid, screenshot path. Prints "skip <reason>" and
exits 0 when the browser or its driver is missing."""
import json
import os
import signal
import sys
import time
import urllib.request

port, pid, screenshot = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
base = f"http://127.0.0.1:{port}/"
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    print("skip python3-selenium is not installed")
    sys.exit(0)
for path in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
    if not os.path.exists(path):
        print(f"skip {path} is missing")
        sys.exit(0)

# The daemon is idle: the document holds what the test read from the other services.
document = urllib.request.urlopen(base + "status.json", timeout=10).read()
print(f"json-size {len(document)}")
print(f"json-clock-error {round(abs(time.time() - json.loads(document)['time']))}")
for storage in json.loads(document)["storages"]:
    for field in ("copied", "failed", "retried", "pending"):
        print(f"json {storage['id']} {field} {storage[field]}")
    print(f"json {storage['id']} first-shift-copied {storage['history'][-1]['copied']}")

options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,800"):
    options.add_argument(argument)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    driver.get(base)

    def wait_for(check, seconds=20):
        end = time.time() + seconds
        while time.time() < end:
            result = check()
            if result:
                return result
            time.sleep(0.2)
        return None

    wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "article.card"))
    time.sleep(2.5)  # a second refresh: the rates are known
    # Each read is one script: the page rebuilds its cards and tables on every
    # refresh, and elements looked up one call at a time may be gone by the next.
    for storage, field, value in driver.execute_script("""
            return [...document.querySelectorAll("article.card")].flatMap(card =>
                ["Copied", "Failed", "Retried", "Pending"].map(field => [card.dataset.storage, field,
                    card.querySelector(`dd[data-field="${field}"]`).innerText.trim()]))"""):
        print(f"card {storage} {field.lower()} {value}")
    for mountpoint, points in driver.execute_script(
            "return Object.entries(window.statusCharts).map(([m, c]) => [m, c.data[0].length])"):
        print(f"chart {mountpoint} {points}")
    rows = driver.execute_script("""
            return [...document.querySelectorAll("#messages tbody tr.error")].map(row =>
                [...row.querySelectorAll("td")].map(cell => cell.innerText.trim()))""")
    print("copy-errors", sum(1 for cells in rows if cells[1:3] == ["ERROR", "4"]))
    print("history-rows", driver.execute_script('return document.querySelectorAll("#history tbody tr").length'))
    driver.save_screenshot(screenshot)
    driver.set_window_size(390, 844)  # a phone: nothing wider than the window but the scrolled tables
    time.sleep(2.5)
    print("phone-width", driver.execute_script("return window.innerWidth"))
    print("phone-overflow", driver.execute_script(
        "return document.documentElement.scrollWidth - document.documentElement.clientWidth"))

    os.kill(pid, signal.SIGTERM)
    banner = wait_for(lambda: driver.find_element(By.ID, "banner").is_displayed()
                      and driver.find_element(By.ID, "banner").text)
    print(f"banner {banner}")
    print(f"cards-kept {len(driver.find_elements(By.CSS_SELECTOR, 'article.card'))}")
finally:
    driver.quit()
