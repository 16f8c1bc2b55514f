// Browser test of the review page: builds run folders with make_review_fixture, runs vesk-review
// on them, opens each page from file:// in headless Debian Chromium (driven by puppeteer-core over
// the DevTools protocol) and works through it as an observer would.
//
// Usage: node tests/review_page_test.mjs BUILD_DIR
// Screenshots go to BUILD_DIR/review_page_test/. Exit status 0 when every check passed.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { pathToFileURL } from "node:url";
import puppeteer from "puppeteer-core";

const buildDir = path.resolve(process.argv[2] || "build");
const reviewBinary = path.join(buildDir, "vesk-review");
const fixtureBinary = path.join(buildDir, "tools", "make_review_fixture");
const chromium = process.env.CHROMIUM || "/usr/bin/chromium";
const shotDir = path.join(buildDir, "review_page_test");
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "vesk-review-test-"));

let passed = 0;
let failed = 0;
async function check(name, body) {
  try {
    await body();
    passed++;
    console.log("ok - " + name);
  } catch (e) {
    failed++;
    console.log("FAILED - " + name + "\n    " + String(e && e.stack ? e.stack : e).replace(/\n/g, "\n    "));
  }
}

function makeRun(name, fixtureArgs) {
  const dir = path.join(scratch, name);
  execFileSync(fixtureBinary, [dir, ...fixtureArgs], { stdio: ["ignore", "inherit", "inherit"] });
  return dir;
}
function review(dir) {
  return execFileSync(reviewBinary, [dir], { encoding: "utf8", stdio: ["ignore", "pipe", "pipe"] });
}
const pageUrl = (dir) => pathToFileURL(path.join(dir, "review", "index.html")).href;
const catalogueLines = (dir) => fs.readFileSync(path.join(dir, "flashes.csv"), "utf8").trim().split("\n").slice(1);

// Opens `url` in a new tab of `context`, recording console errors, page errors and failed loads.
async function open(context, url) {
  const page = await context.newPage();
  const problems = [];
  page.on("console", (m) => { if (m.type() === "error") problems.push("console: " + m.text()); });
  page.on("pageerror", (e) => problems.push("page error: " + e.message));
  page.on("requestfailed", (r) => problems.push("failed load: " + r.url()));
  await page.setViewport({ width: 1680, height: 1050 });
  await page.goto(url, { waitUntil: "load" });
  return { page, problems };
}

// Every <img> on the page decoded with a size.
async function brokenImages(page) {
  return page.evaluate(async () => {
    const bad = [];
    for (const img of document.images) {
      try { await img.decode(); } catch (e) { /* judged by naturalWidth below */ }
      if (!img.complete || img.naturalWidth === 0) bad.push(img.getAttribute("src"));
    }
    return { count: document.images.length, bad };
  });
}

// Decision shown on each card and in each table row, by event number.
async function states(page) {
  return page.evaluate(() => {
    const out = {};
    for (const c of document.querySelectorAll(".card")) {
      const row = document.querySelector('#events-table tr[data-event="' + c.dataset.event + '"]');
      out[c.dataset.event] = {
        card: c.dataset.decision,
        cardText: c.querySelector(".card-head .state").textContent,
        row: row.dataset.decision,
        rowText: row.querySelector(".state").textContent,
      };
    }
    return out;
  });
}
const currentEvent = (page) => page.$eval(".card.current", (c) => Number(c.dataset.event));
const currentRow = (page) => page.$eval("#events-table tr.current", (r) => Number(r.dataset.event));

async function waitForFile(file, ms) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (fs.existsSync(file) && fs.statSync(file).size > 0) return fs.readFileSync(file, "utf8");
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error("no download at " + file);
}

fs.mkdirSync(shotDir, { recursive: true });
const profile = fs.mkdtempSync(path.join(os.tmpdir(), "vesk-review-chromium-"));
const browser = await puppeteer.launch({
  executablePath: chromium,
  ignoreDefaultArgs: true,
  pipe: true,
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" + profile,
    "--disable-background-networking", "--disable-component-update", "--no-first-run",
    "--hide-scrollbars", "--mute-audio"],
});

try {
  const run = makeRun("run", []);
  const out = review(run);
  const events = catalogueLines(run);
  const { page, problems } = await open(browser.defaultBrowserContext(), pageUrl(run));

  await check("vesk-review reports the page and its events", async () => {
    assert.match(out, /^Wrote .*review\/index\.html \(3 events\)\n$/);
  });
  await check("one card per line of flashes.csv, in time order, first one current", async () => {
    const frames = await page.$$eval(".card", (cs) => cs.map((c) => Number(c.id.replace("event-", ""))));
    assert.equal(frames.length, events.length);
    const byFrame = events.map((l) => l.split(",")).sort((a, b) => a[1] - b[1]).map((c) => Number(c[0]));
    assert.deepEqual(frames, byFrame);
    assert.equal(await currentEvent(page), byFrame[0]);
  });
  await check("every picture decodes: 16 close-ups, crop and whole frame per card", async () => {
    const { count, bad } = await brokenImages(page);
    assert.deepEqual(bad, []);
    assert.equal(count, events.length * 18);
  });
  await check("close-ups are shown 8x, pixelated, labelled -5..+10; missing frames say so", async () => {
    const tile = await page.$eval("#event-1 .tile img", (img) => ({
      w: img.getBoundingClientRect().width, nat: img.naturalWidth,
      rendering: getComputedStyle(img).imageRendering,
    }));
    assert.equal(tile.w, tile.nat * 8);
    assert.equal(tile.rendering, "pixelated");
    const labels = await page.$$eval("#event-1 .tile .off", (l) => l.map((x) => x.textContent));
    assert.deepEqual(labels, ["\u22125", "\u22124", "\u22123", "\u22122", "\u22121", "0", "+1", "+2", "+3", "+4", "+5", "+6", "+7", "+8", "+9", "+10"]);
    const gone = await page.$$eval("#event-1 .tile .gone", (l) => l.length);
    assert.equal(gone, 2);  // event 1 is at frame 3: frames -2 and -1 do not exist
  });
  await check("light curve drawn as SVG with points, error bars and the 3-sigma line", async () => {
    const lc = await page.$eval("#event-2 svg.curve", (svg) => ({
      points: svg.querySelectorAll("circle.pt").length,
      bars: svg.querySelectorAll("line.bar").length,
      sigma: svg.querySelectorAll("line.sigma").length,
      above: svg.querySelectorAll("circle.pt.above").length,
      label: svg.querySelector("text.sigma-label").textContent,
    }));
    assert.equal(lc.points, 16);
    assert.equal(lc.bars, 48);
    assert.equal(lc.sigma, 1);
    assert.equal(lc.above, 3);  // the moving point's three frames
    // Three times one frame's error (6), not the error of the flux summed over 3 frames (10.4).
    assert.equal(lc.label, "3\u03c3 = 18.0");
  });
  await check("no console errors, page errors or failed loads", async () => {
    assert.deepEqual(problems, []);
  });

  await check("j / a / r / k / u change the current event and its state on card and row", async () => {
    let s = await states(page);
    for (const e of Object.values(s)) assert.deepEqual([e.card, e.row], ["undecided", "undecided"]);
    await page.keyboard.press("j");
    assert.equal(await currentEvent(page), 2);
    assert.equal(await currentRow(page), 2);
    await page.keyboard.press("a");
    await page.keyboard.press("j");
    await page.keyboard.press("r");
    await page.keyboard.press("j");  // already the last: stays
    assert.equal(await currentEvent(page), 3);
    await page.keyboard.press("k");
    await page.keyboard.press("k");
    await page.keyboard.press("r");
    await page.keyboard.press("u");
    s = await states(page);
    assert.deepEqual(s["1"], { card: "undecided", cardText: "undecided", row: "undecided", rowText: "undecided" });
    assert.deepEqual(s["2"], { card: "accepted", cardText: "\u2713 accepted", row: "accepted", rowText: "\u2713 accepted" });
    assert.deepEqual(s["3"], { card: "rejected", cardText: "\u2717 rejected", row: "rejected", rowText: "\u2717 rejected" });
    const progress = await page.$eval("#progress", (p) => p.textContent);
    assert.equal(progress, "1 accepted1 rejected1 undecided");
  });

  await check("table sorts by peak, SNR, class and time, filters by class; a row opens its card", async () => {
    const order = () => page.$$eval("#events-table tbody tr:not(.filtered)", (rs) => rs.map((r) => Number(r.dataset.event)));
    await page.click('button[data-sort="peak"]');
    assert.deepEqual(await order(), [1, 3, 2]);  // peaks 140, 90, 100: highest first
    await page.click('button[data-sort="peak"]');
    assert.deepEqual(await order(), [2, 3, 1]);
    await page.click('button[data-sort="class"]');
    assert.deepEqual(await order(), [1, 2, 3]);  // flash, moving, edge
    await page.click('button[data-sort="snr"]');
    assert.deepEqual(await order(), [1, 3, 2]);
    await page.click('button[data-sort="time"]');
    assert.deepEqual(await order(), [1, 2, 3]);
    await page.select("#class-filter", "moving");
    assert.deepEqual(await order(), [2]);
    assert.deepEqual(await page.$$eval(".card:not(.filtered)", (cs) => cs.map((c) => c.dataset.event)), ["2"]);
    await page.select("#class-filter", "");
    assert.equal((await order()).length, 3);
    await page.click('#events-table tr[data-event="3"]');
    assert.equal(await currentEvent(page), 3);
    const box = await page.$eval("#event-3", (c) => c.getBoundingClientRect().top);
    assert.ok(box >= 0 && box < 300, "card 3 scrolled to the top, at " + box);
  });

  const downloads = path.join(scratch, "downloads");
  fs.mkdirSync(downloads);
  let exported = "";
  await check("Export downloads decisions.csv with every event's decision", async () => {
    const cdp = await page.createCDPSession();
    await cdp.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
    await page.click("#export");
    exported = await waitForFile(path.join(downloads, "decisions.csv"), 10000);
    const utc = Object.fromEntries(events.map((l) => l.split(",")).map((c) => [c[0], c[3]]));
    assert.equal(exported,
      "event,frame,utc,decision\n" +
      `1,3,${utc[1]},undecided\n2,60,${utc[2]},accepted\n3,120,${utc[3]},rejected\n`);
  });

  await check("decisions persist in this browser across a reload", async () => {
    await page.reload({ waitUntil: "load" });
    const s = await states(page);
    assert.deepEqual([s["1"].card, s["2"].card, s["3"].card], ["undecided", "accepted", "rejected"]);
  });

  await check("a run folder's decisions.csv is the starting state of a fresh browser", async () => {
    fs.writeFileSync(path.join(run, "decisions.csv"), exported.replace("1,3,", "1,3,").replace(/\n1,3,([^,]*),undecided/, "\n1,3,$1,rejected"));
    review(run);
    const context = await browser.createBrowserContext();
    const fresh = await open(context, pageUrl(run));
    const s = await states(fresh.page);
    assert.deepEqual([s["1"].card, s["2"].card, s["3"].card], ["rejected", "accepted", "rejected"]);
    assert.deepEqual(fresh.problems, []);
    await context.close();
  });

  await check("a later run in the same folder does not inherit the kept decisions", async () => {
    fs.rmSync(path.join(run, "decisions.csv"));
    const later = new Date(Date.now() + 60000);
    fs.utimesSync(path.join(run, "flashes.csv"), later, later);  // the same catalogue, written again
    review(run);
    await page.reload({ waitUntil: "load" });
    const s = await states(page);
    assert.deepEqual([s["1"].card, s["2"].card, s["3"].card], ["undecided", "undecided", "undecided"]);
  });

  await check("screenshot of the first card", async () => {
    await page.keyboard.press("a");
    await page.evaluate(() => window.scrollTo(0, 0));
    const card = await page.$(".card");
    await card.screenshot({ path: path.join(shotDir, "first_card.png") });
    await page.screenshot({ path: path.join(shotDir, "page.png") });
    assert.ok(fs.statSync(path.join(shotDir, "first_card.png")).size > 10000);
  });
  await page.close();

  const interlaced = makeRun("interlaced", ["--interlaced"]);
  review(interlaced);
  await check("interlaced run: fields side by side, every picture decodes, no errors", async () => {
    const { page: p, problems: pr } = await open(browser.defaultBrowserContext(), pageUrl(interlaced));
    const { bad } = await brokenImages(p);
    assert.deepEqual(bad, []);
    // Each close-up shows its two fields, 21 x 11 rows drawn twice, at 8x, in two windows.
    const tile = await p.$$eval("#event-1 .tile:first-child .window", (ws) => ws.map((w) => [w.clientWidth, w.clientHeight]));
    assert.deepEqual(tile, [[21 * 8, 22 * 8], [21 * 8, 22 * 8]]);
    assert.equal(await p.$$eval("#event-1 .tile .fields", (f) => f.length), 16);
    assert.deepEqual(pr, []);
    await (await p.$(".card")).screenshot({ path: path.join(shotDir, "interlaced_card.png") });
    await p.close();
  });

  const empty = makeRun("empty", ["--events", "0"]);
  await check("a run without events gets a page that says so", async () => {
    assert.match(review(empty), /\(0 events\)/);
    const { page: p, problems: pr } = await open(browser.defaultBrowserContext(), pageUrl(empty));
    assert.equal(await p.$$eval(".card", (c) => c.length), 0);
    assert.match(await p.$eval("#empty", (e) => e.textContent), /No events in this run/);
    assert.deepEqual(pr, []);
    await p.close();
  });
} finally {
  await browser.close();
  fs.rmSync(scratch, { recursive: true, force: true });
  fs.rmSync(profile, { recursive: true, force: true });
}

console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 && passed > 0 ? 0 : 1);
