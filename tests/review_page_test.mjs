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
import vm from "node:vm";
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
// The page's data as events.js hands it to the page: the first argument of its one call, run as
// the page runs it.
function pageData(dir) {
  const text = fs.readFileSync(path.join(dir, "review", "events.js"), "utf8");
  let data = null;
  vm.runInNewContext(text, { veskReview: (dataPieces) => { data = JSON.parse(dataPieces.join("")); } });
  return data;
}
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
    // The run's frame_times.csv (25 frames a second) puts the time axis in milliseconds.
    const labels = await page.$$eval("#event-2 svg.curve > text", (t) => t.map((x) => x.textContent));
    assert.ok(labels.includes("ms from the event's first frame"), labels.join("|"));
    for (const tick of ["\u2212200", "0", "+200", "+400"]) assert.ok(labels.includes(tick), tick + " in " + labels.join("|"));
  });
  await check("on a 1400 x 900 window the first card's light curve is in view without scrolling", async () => {
    await page.setViewport({ width: 1400, height: 900 });
    const box = await page.$eval("#event-1 svg.curve", (svg) => svg.getBoundingClientRect().toJSON());
    assert.ok(box.top > 0 && box.bottom <= 900, "light curve from " + box.top + " to " + box.bottom);
    await page.screenshot({ path: path.join(shotDir, "page_1400x900.png") });
    await page.setViewport({ width: 1680, height: 1050 });
  });
  await check("d shows the close-ups less the ring's mean, the flash bright on a surface near zero, and d again the frames", async () => {
    await page.setViewport({ width: 1400, height: 900 });
    await page.evaluate(() => window.scrollTo(0, 0));
    const sources = () => page.$$eval("#event-1 .tiles img.pix", (imgs) => imgs.map((i) => i.getAttribute("src")));
    const note = () => page.$eval("#event-1 .display-note", (n) => n.textContent);
    // The grey levels shown in one close-up's window, read from a screenshot of it: the
    // screenshot is decoded in the page through a data: URL, which leaves the canvas readable.
    const shownGreys = async (offset) => {
      const win = await page.$("#event-1 .tile:nth-child(" + (offset + 6) + ") .window");
      const b64 = Buffer.from(await win.screenshot()).toString("base64");
      return page.evaluate(async (data) => {
        const img = new Image();
        img.src = "data:image/png;base64," + data;
        await img.decode();
        const c = document.createElement("canvas");
        c.width = img.width;
        c.height = img.height;
        const g = c.getContext("2d");
        g.drawImage(img, 0, 0);
        const px = g.getImageData(0, 0, c.width, c.height).data;
        const out = [];  // the centre of each of the 21 x 21 close-up pixels, shown 8x
        for (let r = 0; r < 21; r++) {
          const row = [];
          for (let col = 0; col < 21; col++) row.push(px[4 * ((8 * r + 4) * c.width + 8 * col + 4)]);
          out.push(row);
        }
        return out;
      }, b64);
    };
    // Away from the flash (more than 3 pixels from the site): the surface round it.
    const surface = (greys) => greys.flatMap((row, r) => row.filter((_, col) => Math.max(Math.abs(r - 10), Math.abs(col - 10)) > 3));
    const plainSources = await sources();
    assert.equal(plainSources.length, 16);
    assert.ok(plainSources.every((src) => src === "e0001_strip.png"), plainSources.join(" "));
    const plainSurface = surface(await shownGreys(0));
    await (await page.$("#event-1")).screenshot({ path: path.join(shotDir, "difference_off.png") });

    // Every picture is loaded before each switch, so that no load is cut short by one.
    assert.deepEqual((await brokenImages(page)).bad, []);
    await page.keyboard.press("d");
    assert.ok((await sources()).every((src) => src === "e0001_diff.png"));
    assert.deepEqual((await brokenImages(page)).bad, []);
    assert.equal(await page.$eval("#diff-view", (b) => b.getAttribute("aria-pressed")), "true");
    await page.$$eval("#event-1 .tiles img.pix", (imgs) => Promise.all(imgs.map((i) => i.decode())));
    // The scale is stated: a bar from black to white with its ends in grey levels.
    assert.equal(await note(), "less the ring's mean:");
    assert.match(await page.$eval("#event-1 .diff-legend", (l) => l.textContent), /^\u2212(\d+)\+\1 grey levels$/);
    assert.equal(await page.$$eval("#event-1 .diff-legend .diff-bar", (b) => b.length), 1);
    const flash = await shownGreys(0);
    // The flash (140 grey levels over the surface at its peak) is white at its site; the lit
    // surface round it, the same in every frame but for noise of +-3, shows within 12 of
    // mid-grey (127.5) on average and nowhere beyond 40.
    assert.ok(flash[10][10] >= 240, "flash pixel shown at " + flash[10][10]);
    const around = surface(flash);
    const meanOff = around.reduce((a, v) => a + Math.abs(v - 127.5), 0) / around.length;
    assert.ok(meanOff < 12, "surface " + meanOff.toFixed(1) + " from mid-grey on average");
    assert.ok(around.every((v) => Math.abs(v - 127.5) < 40), "surface from " + Math.min(...around) + " to " + Math.max(...around));
    // The frames as recorded showed that surface far from mid-grey.
    const plainOff = plainSurface.reduce((a, v) => a + Math.abs(v - 127.5), 0) / plainSurface.length;
    assert.ok(plainOff > 40, "the plain surface " + plainOff.toFixed(1) + " from mid-grey");
    // A frame before the flash: nothing but noise (and the flash's share of the mean, dark).
    const before = surface(await shownGreys(-3));
    assert.ok(before.every((v) => Math.abs(v - 127.5) < 40), "offset -3 from " + Math.min(...before) + " to " + Math.max(...before));
    await (await page.$("#event-1")).screenshot({ path: path.join(shotDir, "difference_on.png") });

    // The choice holds across a reload of the page; the button switches back.
    await page.reload({ waitUntil: "load" });
    assert.ok((await sources()).every((src) => src === "e0001_diff.png"), "still the difference after a reload");
    assert.deepEqual((await brokenImages(page)).bad, []);
    await page.click("#diff-view");
    assert.ok((await sources()).every((src) => src === "e0001_strip.png"));
    assert.doesNotMatch(await note(), /ring's mean/);
    assert.equal(await page.$$eval("#event-1 .diff-legend", (b) => b.length), 0);
    assert.equal(await page.$eval("#event-1 .tiles img.pix", (i) => i.style.filter.includes("diff")), false);
    assert.deepEqual((await brokenImages(page)).bad, []);
    await page.setViewport({ width: 1680, height: 1050 });
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

  await check("a run without a site: no grid or night map, and the page says why once", async () => {
    const { page: p, problems: pr } = await open(browser.defaultBrowserContext(), pageUrl(run));
    const notes = await p.$$eval("#moon-note", (n) => n.map((x) => x.textContent));
    assert.equal(notes.length, 1);
    assert.match(notes[0], /without the observer's site \(--site\)/);
    assert.equal(await p.$$eval("#moon-map", (m) => m.length), 0);
    assert.equal(await p.$$eval(".sel-grid-overlay", (g) => g.length), 0);
    assert.deepEqual(pr, []);
    await p.close();
  });

  // A run with the observer's site: moon.csv's fits give each card's grid and the night map.
  const placed = makeRun("placed", ["--site"]);
  review(placed);
  await check("with a site: a grid over the whole frame, the night map's marks by class, a mark opens its card", async () => {
    const { page: p, problems: pr } = await open(browser.defaultBrowserContext(), pageUrl(placed));
    assert.equal(await p.$$eval("#moon-note", (n) => n.length), 0);
    // The grid over event 1's whole frame: many lines, inside the picture, on the disc.
    const grid = await p.$eval("#event-1 .ov-wrap", (w) => {
      const img = w.querySelector("img"), svg = w.querySelector("svg.sel-grid-overlay");
      const path = svg.querySelector("path.sel-grid");
      const d = path.getAttribute("d");
      const box = path.getBBox();
      return {
        lines: (d.match(/M/g) || []).length, box: [box.x, box.y, box.width, box.height],
        viewBox: svg.getAttribute("viewBox"), natural: [img.naturalWidth, img.naturalHeight],
        shown: [img.width, img.height], svg: [svg.width.baseVal.value, svg.height.baseVal.value],
      };
    });
    // 17 parallels and the 18 or so meridians in view, some in two pieces.
    assert.ok(grid.lines >= 30 && grid.lines <= 60, grid.lines + " lines");
    assert.equal(grid.viewBox, "0 0 " + grid.natural[0] + " " + grid.natural[1]);
    assert.deepEqual(grid.svg, grid.shown);
    // The fixture's disc: centre (176, 120), radius 112.8 of a 320 x 240 frame shown halved;
    // the grid spans the disc's width (to half a picture pixel), never beyond it.
    const [x, y, w, hgt] = grid.box;
    assert.ok(Math.abs(x + w / 2 - 88.25) < 3 && Math.abs(w - 112.8) < 1.5, "grid box " + grid.box);
    assert.ok(y >= 60.25 - 56.4 - 0.6 && y + hgt <= 60.25 + 56.4 + 0.6, "grid box " + grid.box);
    assert.match(await p.$eval("#event-1 .where-box figcaption", (c) => c.textContent), /selenographic grid every 10/);
    // The off-moon event (beyond the disc) has no place and no grid... but its picture still has
    // the grid of the disc it is beside.
    assert.equal(await p.$$eval(".sel-grid-overlay", (g) => g.length), 3);
    // The map: its marks are the events on it (the one far beyond the limb is not), by class.
    const map = await p.$eval("#moon-map", (m) => ({ marks: m.dataset.marks, caption: m.querySelector("p").textContent }));
    assert.equal(map.marks, "2");
    assert.match(map.caption, /2 events by class \(1 not on the map/);
    const lit = await p.$eval("#moon-map path.lit", (l) => l.getAttribute("d").length);
    assert.ok(lit > 100);
    // Each mark in its class's colour on the canvas, at the event's place.
    const marks = await p.evaluate((data) => {
      const canvas = document.querySelector("#moon-map canvas");
      const r = canvas.getBoundingClientRect();
      const g = canvas.getContext("2d");
      const ratio = canvas.width / r.width;
      const reach = data.moon.map.reach;
      return data.events.filter((e) => e.m).map((e) => {
        const px = (e.m[0] + reach) / (2 * reach) * r.width, py = (e.m[1] + reach) / (2 * reach) * r.height;
        const rgb = g.getImageData(Math.round(px * ratio), Math.round(py * ratio), 1, 1).data;
        const probe = document.createElement("span");
        probe.className = "badge cls-" + e.class;
        document.body.append(probe);
        const want = getComputedStyle(probe).backgroundColor;
        probe.remove();
        return { event: e.event, x: r.left + px, y: r.top + py, got: "rgb(" + rgb[0] + ", " + rgb[1] + ", " + rgb[2] + ")", want };
      });
    }, pageData(placed));
    assert.equal(marks.length, 2);
    for (const m of marks) assert.equal(m.got, m.want, "event " + m.event);
    await p.mouse.click(marks[1].x, marks[1].y);
    assert.equal(await currentEvent(p), marks[1].event);
    assert.equal(await p.$eval("#moon-map circle.current-mark", (c) => c.getAttribute("visibility")), "visible");
    await p.setViewport({ width: 1400, height: 900 });
    await p.evaluate(() => window.scrollTo(0, 0));
    await p.screenshot({ path: path.join(shotDir, "night_map.png") });
    await (await p.$("#event-1 .lower")).screenshot({ path: path.join(shotDir, "grid_over_frame.png") });
    assert.deepEqual(pr, []);
    await p.close();
  });

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

  // A very noisy night: the document keeps a bounded number of cards and rows, and moving
  // through the events by key, by scrolling and from the table still works.
  const big = makeRun("big", ["--events", "100000", "--pictures", "0", "--site"]);
  await check("100,000 events: at most 60 cards and 200 rows in the document; j, k, scrolling and the table still move", async () => {
    assert.match(review(big), /\(100000 events\)/);
    const { page: p, problems: pr } = await open(browser.defaultBrowserContext(), pageUrl(big));
    const counts = () => p.evaluate(() => ({
      cards: document.querySelectorAll(".card").length,
      rows: document.querySelectorAll("#events-table tr[data-event]").length,
    }));
    const bounded = async (where) => {
      const n = await counts();
      assert.ok(n.cards >= 1 && n.cards <= 60, where + ": " + n.cards + " cards");
      assert.ok(n.rows >= 1 && n.rows <= 200, where + ": " + n.rows + " rows");
    };
    const settle = () => p.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
    await bounded("loaded");
    // The night map draws every event on the disc or near it into one canvas.
    const onMap = pageData(big).events.filter((e) => e.m).length;
    assert.ok(onMap > 50000, onMap + " events on the map");
    assert.equal(await p.$eval("#moon-map", (m) => m.dataset.marks), String(onMap));
    assert.equal(await p.$$eval("#moon-map canvas", (c) => c.length), 1);
    assert.equal(await currentEvent(p), 1);
    for (let i = 0; i < 3; i++) await p.keyboard.press("j");
    assert.equal(await currentEvent(p), 4);
    assert.equal(await currentRow(p), 4);
    await p.keyboard.press("a");
    // Scrolling the window on brings later cards in and lets earlier ones go.
    for (let i = 0; i < 40; i++) {
      await p.evaluate(() => window.scrollBy(0, window.innerHeight));
      await settle();
    }
    await bounded("after scrolling 40 screens");
    const firstCard = await p.$eval(".card", (c) => Number(c.dataset.event));
    assert.ok(firstCard > 20, "the first card in the document is event " + firstCard);
    // The table's pane scrolled to its end shows the last rows; a row opens its card.
    // The pane is brought into the window first: clicking a row out of view scrolls the window,
    // which redraws the virtual table and replaces the row under the click.
    await p.$eval("#table-pane", (t) => { t.scrollIntoView(); t.scrollTop = t.scrollHeight; });
    await settle();
    await settle();
    await bounded("table at its end");
    // The row is clicked in place (a pointer click lands by coordinates, which the virtual
    // table may redraw under it on a loaded machine); the card is drawn once the window has
    // scrolled to it.
    await p.$eval('#events-table tr[data-event="100000"]', (tr) => tr.click());
    await p.waitForSelector('.card.current[data-event="100000"]', { timeout: 15000 });
    assert.equal(await currentEvent(p), 100000);
    await p.keyboard.press("k");
    await p.waitForSelector('.card.current[data-event="99999"]', { timeout: 15000 });
    assert.equal(await currentEvent(p), 99999);
    assert.equal(await currentRow(p), 99999);
    await p.keyboard.press("r");
    await bounded("after the jump");
    assert.equal(await p.$eval("#progress", (e) => e.textContent), "1 accepted1 rejected99998 undecided");
    // Sorting by peak puts the brightest first, over all the events.
    await p.click('button[data-sort="peak"]');
    const top = await p.$eval("#events-table tr[data-event] td:nth-child(3)", (td) => td.textContent);
    assert.equal(top, "150.0");
    await p.reload({ waitUntil: "load" });
    await bounded("reloaded");
    assert.equal(await p.$eval("#progress", (e) => e.textContent), "1 accepted1 rejected99998 undecided");
    assert.deepEqual(pr, []);
    await p.close();
  });

  const growing = makeRun("growing", ["--events", "30"]);
  await check("a page open during the run shows the events added within seconds, keeping its decisions, its card and its place", async () => {
    // The run's record: the page's run id comes from it and stays while the catalogue grows.
    fs.writeFileSync(path.join(growing, "run.txt"),
      "Program= vesk\nVersion= test\nCommit= test\nRecording= night.ser\nRecording_id= night.ser fnv1a64:0123456789abcdef\n" +
      "Options= --follow\nStarted= 2026-12-11T02:00:00Z\nEnded= \n");
    const file = (name) => path.join(growing, name);
    const data = path.join(growing, "review", "events.js");
    const asLive = (text) => text.replace('"live":false', '"live":true');
    // Written whole under another name and renamed, as the run writes it.
    const put = (text) => { fs.writeFileSync(data + ".part", text); fs.renameSync(data + ".part", data); };
    review(growing);
    const finished = fs.readFileSync(data, "utf8");
    const whole = pageData(growing);
    assert.equal(whole.events.length, 30);
    // The run so far: the first 20 events.
    const flashes = fs.readFileSync(file("flashes.csv"), "utf8"), curves = fs.readFileSync(file("lightcurves.csv"), "utf8");
    const first = (text) => text.split("\n").filter((l, i) => i === 0 || (l && Number(l.split(",")[0]) <= 20)).join("\n") + "\n";
    fs.writeFileSync(file("flashes.csv"), first(flashes));
    fs.writeFileSync(file("lightcurves.csv"), first(curves));
    review(growing);
    assert.equal(pageData(growing).events.length, 20);
    assert.equal(pageData(growing).run.id, whole.run.id);
    put(asLive(fs.readFileSync(data, "utf8")));
    fs.writeFileSync(file("flashes.csv"), flashes);
    fs.writeFileSync(file("lightcurves.csv"), curves);

    const { page: p, problems: pr } = await open(browser.defaultBrowserContext(), pageUrl(growing));
    const facts = () => p.$eval("#run-facts", (e) => e.textContent);
    const liveText = () => p.$eval("#live", (e) => e.textContent);
    assert.match(await facts(), /^20 events /);
    assert.match(await liveText(), /^live: updated \d\d:\d\d:\d\d$/);
    // Loads of events.js, each 3 s after the last while the run goes on.
    let loads = 0;
    p.on("request", (r) => { if (/\/events\.js\?at=/.test(r.url())) loads++; });
    // Event 2 accepted, event 3 rejected, then event 7 made the current one.
    await p.keyboard.press("j");
    await p.keyboard.press("a");
    await p.keyboard.press("j");
    await p.keyboard.press("r");
    for (let i = 0; i < 4; i++) await p.keyboard.press("j");
    assert.equal(await currentEvent(p), 7);
    const place = () => p.evaluate(() => ({
      top: document.getElementById("event-7").getBoundingClientRect().top, y: window.scrollY }));
    const before = await place();
    assert.ok(before.y > 0, "the page is scrolled to event 7's card");

    put(asLive(finished));
    const start = Date.now();
    await p.waitForFunction(() => /^30 events/.test(document.getElementById("run-facts").textContent), { timeout: 15000 });
    const waited = Date.now() - start;
    assert.ok(waited < 8000, "new events shown after " + waited + " ms");
    assert.equal(await p.$eval("#class-filter option", (o) => o.textContent), "all classes (30)");
    assert.equal(await currentEvent(p), 7);
    const after = await place();
    assert.ok(Math.abs(after.top - before.top) <= 2, "event 7's card moved from " + before.top + " to " + after.top);
    assert.equal(await p.$eval("#progress", (e) => e.textContent), "1 accepted1 rejected28 undecided");
    const s = await states(p);
    for (const [event, d] of [["2", "accepted"], ["3", "rejected"], ["7", "undecided"]]) {
      if (s[event]) assert.equal(s[event].card, d, "event " + event);
    }
    assert.ok(loads >= 1, loads + " loads of events.js");
    // The time the page last read the data moves on while nothing changes.
    const shown = await liveText();
    await p.waitForFunction((t) => document.getElementById("live").textContent !== t, { timeout: 15000 }, shown);
    assert.match(await liveText(), /^live: updated \d\d:\d\d:\d\d$/);
    await p.screenshot({ path: path.join(shotDir, "live.png") });
    // The run's last data file says the run has ended: the page says so and loads no more.
    put(finished);
    await p.waitForFunction(() => /^run ended/.test(document.getElementById("live").textContent), { timeout: 15000 });
    assert.equal(await currentEvent(p), 7);
    const ended = loads;
    await new Promise((r) => setTimeout(r, 7000));
    assert.equal(loads, ended, "events.js loaded after the run ended");
    await p.screenshot({ path: path.join(shotDir, "live-ended.png") });
    assert.deepEqual(pr, []);
    await p.close();
  });

  // A folder name with what could end a string, a template or the script (a name holds no "/",
  // so the tag cannot be closed; the folder's path is in the data too): the page's data holds it
  // as text.
  const hostileName = "q'\"\\`${x}<script><b>\u2028\u2029\u00e9";
  const hostile = makeRun(hostileName, ["--events", "3"]);
  await check("a folder named with quotes, backslash, `, ${, <script> and U+2028 is shown as its name", async () => {
    review(hostile);
    assert.equal(pageData(hostile).run.folder, hostileName);
    const { page: p, problems: pr } = await open(browser.defaultBrowserContext(), pageUrl(hostile));
    assert.equal(await p.$eval("#top h1 .folder", (e) => e.textContent), hostileName);
    assert.equal(await p.$$eval(".card", (c) => c.length), 3);
    assert.equal(await p.$$eval("b", (b) => b.length), 0);
    assert.deepEqual(pr, []);
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
