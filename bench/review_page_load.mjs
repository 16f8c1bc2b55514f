// Load time of the review page at growing event counts: builds a run folder per count with
// make_review_fixture (20 sets of pictures shared by hard links), times vesk-review on it, then
// opens the page in headless Debian Chromium (puppeteer-core) and times it until the first card
// is shown and the page answers `j`. Prints one line per count; nothing is asserted.
//
// Usage: node bench/review_page_load.mjs BUILD_DIR [COUNT...]   (default counts: 2000 10000 100000)
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { pathToFileURL } from "node:url";
import puppeteer from "puppeteer-core";

const buildDir = path.resolve(process.argv[2] || "build");
const counts = process.argv.length > 3 ? process.argv.slice(3).map(Number) : [2000, 10000, 100000];
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "vesk-page-bench-"));
const profile = fs.mkdtempSync(path.join(os.tmpdir(), "vesk-page-bench-chromium-"));
const seconds = (from) => ((performance.now() - from) / 1000).toFixed(2);

const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  ignoreDefaultArgs: true,
  pipe: true,
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile,
    "--disable-background-networking", "--disable-component-update", "--no-first-run",
    "--hide-scrollbars", "--mute-audio"],
});
try {
  console.log("events  fixture_s  review_s  page_MB  load_s  j_ms  cards  rows  js_heap_MB");
  for (const n of counts) {
    const dir = path.join(scratch, "run" + n);
    let t = performance.now();
    execFileSync(path.join(buildDir, "tools", "make_review_fixture"),
      [dir, "--events", String(n), "--pictures", String(Math.min(n, 20))]);
    const fixture = seconds(t);
    t = performance.now();
    execFileSync(path.join(buildDir, "vesk-review"), [dir], { stdio: "ignore" });
    const reviewTime = seconds(t);
    const file = path.join(dir, "review", "index.html");
    // The page and its data beside it.
    const pageMb = ((fs.statSync(file).size + fs.statSync(path.join(dir, "review", "events.js")).size) /
      1048576).toFixed(1);

    const page = await browser.newPage();
    await page.setViewport({ width: 1400, height: 900 });
    page.setDefaultTimeout(600000);
    t = performance.now();
    await page.goto(pathToFileURL(file).href, { waitUntil: "load", timeout: 600000 });
    await page.waitForSelector(".card.current");
    const load = seconds(t);
    const before = await page.$eval(".card.current", (c) => c.dataset.event);
    t = performance.now();
    await page.keyboard.press("j");
    await page.waitForFunction((b) => document.querySelector(".card.current").dataset.event !== b, {}, before);
    const jMs = (performance.now() - t).toFixed(0);
    const cards = await page.$$eval(".card", (c) => c.length);
    const rows = await page.$$eval("#events-table tr[data-event]", (r) => r.length);
    const cdp = await page.createCDPSession();
    await cdp.send("HeapProfiler.collectGarbage");
    await cdp.send("Performance.enable");
    const { metrics } = await cdp.send("Performance.getMetrics");
    const heap = metrics.find((m) => m.name === "JSHeapUsedSize");
    console.log([n, fixture, reviewTime, pageMb, load, jMs, cards, rows,
      heap ? (heap.value / 1048576).toFixed(0) : "?"].join("  "));
    await page.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
} finally {
  await browser.close();
  fs.rmSync(scratch, { recursive: true, force: true });
  fs.rmSync(profile, { recursive: true, force: true });
}
