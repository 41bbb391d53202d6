// kelvane-fuse --serve in a real browser: Debian's chromium, headless,
// driven through playwright-core. Two pages follow a paced scan of the
// built-in sphere; one of them loses its connection mid-scan, the other is
// opened mid-scan. Both must end with exactly the final extraction's points,
// all of them drawn, and the picture must show the object.
//
//   KELVANE_FUSE=build/release/tools/kelvane-fuse node --test tests/browser
// KELVANE_CHROMIUM names the browser (default /usr/bin/chromium);
// KELVANE_SCREENSHOT, when set, is where the page's screenshot is written.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';
import { chromium } from 'playwright-core';

const tool = process.env.KELVANE_FUSE;
const browserPath = process.env.KELVANE_CHROMIUM || '/usr/bin/chromium';
const FRAMES = 60;
const FPS = 10;

// Starts the tool and resolves with its address once it listens.
function startTool(args) {
  const child = spawn(tool, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  const run = { child, stdout: '', stderr: '', exit: null };
  run.exited = new Promise((resolve) => child.on('exit', (code, signal) => {
    run.exit = { code, signal };
    resolve(run.exit);
  }));
  child.stdout.on('data', (d) => { run.stdout += d; });
  run.url = new Promise((resolve, reject) => {
    child.stderr.on('data', (d) => {
      run.stderr += d;
      const found = /live view at (http:\/\/\S+)/.exec(run.stderr);
      if (found) resolve(found[1]);
    });
    run.exited.then(() => reject(new Error(`kelvane-fuse exited early: ${run.stderr}`)));
  });
  return run;
}

async function until(what, check, seconds = 60) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

const state = (page) => page.evaluate(() => window.kelvaneLive && window.kelvaneLive.state());

// Share of the image that is not the background, and the share of those
// pixels that the commonest single colour takes.
async function pixelCensus(page, png) {
  return page.evaluate(async (data) => {
    const image = new Image();
    image.src = `data:image/png;base64,${data}`;
    await image.decode();
    const canvas = document.createElement('canvas');
    canvas.width = image.width;
    canvas.height = image.height;
    const context = canvas.getContext('2d');
    context.drawImage(image, 0, 0);
    const rgba = context.getImageData(0, 0, image.width, image.height).data;
    const counts = new Map();
    let object = 0;
    for (let i = 0; i < rgba.length; i += 4) {
      const [r, g, b] = [rgba[i], rgba[i + 1], rgba[i + 2]];
      if (Math.abs(r - 30) + Math.abs(g - 34) + Math.abs(b - 42) <= 6) continue;
      ++object;
      const key = (r << 16) | (g << 8) | b;
      counts.set(key, (counts.get(key) || 0) + 1);
    }
    const commonest = Math.max(0, ...counts.values());
    return { object: object / (rgba.length / 4), commonest: object ? commonest / object : 1, colours: counts.size };
  }, png.toString('base64'));
}

test('the live view follows a scan in chromium, across a reconnect and a late page', { skip: !tool && 'KELVANE_FUSE is not set', timeout: 240000 }, async () => {
  const out = mkdtempSync(join(tmpdir(), 'kelvane-live-'));
  const profile = mkdtempSync(join(tmpdir(), 'kelvane-chromium-'));
  let context = null;
  let run = { exit: 'not started' };
  try {
    // The browser first: the paced scan should not start before it is up.
    context = await chromium.launchPersistentContext(profile, {
      executablePath: browserPath,
      viewport: { width: 960, height: 640 },
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    run = startTool(['--serve', '--fps', String(FPS), '--frames', String(FRAMES), '-q', '-o', out]);
    const url = await run.url;
    const errors = [];
    const watch = (page) => {
      page.on('pageerror', (e) => errors.push(String(e)));
      page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
    };
    const first = context.pages()[0] || await context.newPage();
    watch(first);
    await first.goto(url);

    // Mid-scan: the first page loses its socket and must start again from a
    // fresh model; a second page opens and starts from one too.
    const before = await until('the scan to be under way', async () => {
      const s = await state(first);
      return s && s.models >= 1 && s.frame >= 10 && s.live > 0 && s;
    });
    if (process.env.KELVANE_SCREENSHOT) { // mid-scan, while parts are still being graded
      await until('a third of the scan', async () => (await state(first)).frame >= FRAMES / 3);
      writeFileSync(process.env.KELVANE_SCREENSHOT, await first.screenshot());
    }
    await first.evaluate(() => window.kelvaneLive.reconnect());
    const second = await context.newPage();
    watch(second);
    await second.goto(url);
    const again = await until('the model after the reconnect', async () => {
      const s = await state(first);
      return s.models > before.models && s;
    });
    const late = await until('the late page\'s model', async () => {
      const s = await state(second);
      return s && s.models >= 1 && s;
    });
    assert.ok(again.modelFrame < FRAMES, `the reconnect was served mid-scan (frame ${again.modelFrame})`);
    assert.ok(late.modelFrame < FRAMES, `the late page opened mid-scan (frame ${late.modelFrame})`);

    const report = await until('the report', () => /fused live points\s+(\d+)/.exec(run.stdout), 120);
    const extracted = Number(report[1]);
    assert.ok(extracted > 10000, `a real model: ${extracted} points`);
    for (const [name, page] of [['reconnected page', first], ['late page', second]]) {
      const s = await until(`${name} to finish`, async () => {
        const v = await state(page);
        return v.finished && v.drawn === v.live && v;
      });
      assert.equal(s.live, extracted, `${name}: points in its mirror`);
      assert.equal(s.extracted, extracted, `${name}: the size of the final extraction it was told`);
      assert.equal(s.digest, s.extractedDigest, `${name}: the same view ids as the extraction`);
      assert.equal(s.drawn, extracted, `${name}: points drawn`);
      assert.equal(s.badMessages, 0);
      assert.match(s.status, /same points as the final extraction/);
    }

    const canvas = await first.locator('canvas').screenshot();
    const blank = await context.newPage(); // the live page's own policy allows no data: images
    const census = await pixelCensus(blank, canvas);
    assert.ok(census.object > 0.35, `the object covers ${(100 * census.object).toFixed(1)} % of the view`);
    assert.ok(census.commonest < 0.5 && census.colours > 200,
      `the object is shaded: commonest colour ${(100 * census.commonest).toFixed(1)} %, ${census.colours} colours`);
    assert.deepEqual(errors, []);

    // Serving until interrupted; an interrupt ends it cleanly.
    assert.equal(run.exit, null, 'still serving after the run');
    run.child.kill('SIGINT');
    const exit = await run.exited;
    assert.deepEqual(exit, { code: 0, signal: null });
    assert.match(run.stderr, /live view: \d+ page connections/);
  } finally {
    if (run.exit === null) run.child.kill('SIGKILL');
    if (context) await context.close();
    rmSync(out, { recursive: true, force: true });
    rmSync(profile, { recursive: true, force: true });
  }
});
