// Browser tests of the monitor page served by `pelionp serve --sim`:
//   the page loads with no console error; once the simulated board
//   streams, every probe view has coloured sites and the traces move (read
//   from the DOM and the canvases' pixels); starting and stopping a
//   recording from the page writes its files; a refusal is shown; against
//   a service that requires a token, the page asks for it and, given it,
//   shows the probes, their live sites and the events.
// Also reports the page's frame rate and the CPU the service spends
// serving it. Screenshots under the output folder.
//   node monitor_test.cjs PELIONP OUTDIR
'use strict';
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const assert = require('node:assert/strict');

const [tool, outDir] = process.argv.slice(2);
const puppeteer = require(path.resolve(outDir, 'node_modules', 'puppeteer-core'));
const DEADLINE_MS = 30000;

function startService(dataDir, extra = []) {
  return new Promise((resolve, reject) => {
    const child = spawn(tool, ['serve', '--sim', '--listen', '127.0.0.1:0', '--out', dataDir, ...extra], { stdio: ['ignore', 'pipe', 'pipe'] });
    let text = '';
    const timer = setTimeout(() => reject(new Error(`serve did not listen in time:\n${text}`)), DEADLINE_MS);
    const look = (chunk) => {
      text += chunk;
      const m = text.match(/Listening on (http:\/\/[^\s]+?)\/api\/v1\//);
      if (m) { clearTimeout(timer); resolve({ child, url: m[1] }); }
    };
    child.stdout.on('data', look);
    child.stderr.on('data', (chunk) => { text += chunk; });
    child.on('exit', (code) => reject(new Error(`serve exited (${code}):\n${text}`)));
  });
}

function cpuSeconds(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) / 100;  // utime + stime, in clock ticks of 1/100 s
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function main() {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'pelionp-web-'));
  const dataDir = path.join(scratch, 'data');
  fs.mkdirSync(dataDir);
  const { child, url } = await startService(dataDir);
  // The service's CPU while it streams with no page open: what the page's cost is measured against.
  const call = (what) => fetch(`${url}/api/v1/streaming/${what}`, { method: 'POST' }).then((r) => assert.equal(r.status, 200));
  await call('start');
  await sleep(1000);
  const idle0 = cpuSeconds(child.pid), idleT0 = Date.now();
  await sleep(4000);
  const streamingCpu = (cpuSeconds(child.pid) - idle0) / ((Date.now() - idleT0) / 1000);
  await call('stop');
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', `--user-data-dir=${path.join(scratch, 'profile')}`],
  });
  const failures = [];
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 1600, height: 1000 });
    const consoleErrors = [];
    let phase = 'load';
    page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push({ phase, text: m.text() }); });
    page.on('pageerror', (e) => consoleErrors.push({ phase, text: `uncaught: ${e.message}` }));
    page.setDefaultTimeout(DEADLINE_MS);

    const step = async (name, body) => {
      try { await body(); console.log(`ok   ${name}`); } catch (e) { failures.push(name); console.log(`FAIL ${name}: ${e.message}`); }
    };

    await step('the page loads with no console error', async () => {
      await page.goto(url + '/', { waitUntil: 'load' });
      await page.waitForSelector('body[data-ready="true"]');
      const probes = await page.$$eval('canvas.probe-view', (c) => c.length);
      assert.ok(probes > 0, 'a probe view per probe');
      assert.deepEqual(consoleErrors, []);
    });

    phase = 'streaming';
    await step('streaming colours every probe view\'s sites', async () => {
      await page.click('#stream-start');
      await page.waitForFunction(() => document.getElementById('state').dataset.state === 'streaming');
      await page.waitForFunction(() => [...document.querySelectorAll('canvas.probe-view')].every((c) => Number(c.dataset.colouredSites) > 0));
      // The pixels: each view holds many pixels of the colour ramp (not
      // the background, not the grey of a site without a figure).
      const counts = await page.$$eval('canvas.probe-view', (canvases) => canvases.map((c) => {
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let n = 0;
        for (let i = 0; i < d.length; i += 4) {
          const [r, g, b] = [d[i], d[i + 1], d[i + 2]];
          const grey = Math.abs(r - g) < 12 && Math.abs(g - b) < 12;
          if (!grey) n++;
        }
        return n;
      }));
      for (const n of counts) assert.ok(n > 200, `coloured pixels in a probe view: ${counts}`);
    });

    await step('the traces move', async () => {
      await page.waitForFunction(() => Number(document.getElementById('traces').dataset.frames) >= 3);
      const pixels = () => page.$eval('#traces', (c) => {
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let h = 0, lit = 0;
        for (let i = 0; i < d.length; i += 4) { h = (h * 31 + d[i] + 7 * d[i + 1]) | 0; if (d[i] + d[i + 1] + d[i + 2] > 120) lit++; }
        return { h, lit };
      });
      const first = await pixels();
      assert.ok(first.lit > 500, `drawn trace pixels: ${first.lit}`);
      await page.waitForFunction((h) => {
        const c = document.getElementById('traces');
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let x = 0;
        for (let i = 0; i < d.length; i += 4) x = (x * 31 + d[i] + 7 * d[i + 1]) | 0;
        return x !== h;
      }, { polling: 100 }, first.h);
    });

    await step('clicking a site adds its channel to the traces', async () => {
      const before = await page.$$eval('#trace-list li', (l) => l.length);
      // A coloured site's pixel, in page coordinates.
      const at = await page.$eval('canvas.probe-view', (c) => {
        const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        const r = c.getBoundingClientRect();
        for (let y = Math.floor(c.height / 2); y < c.height; y++)
          for (let x = 0; x < c.width; x++) {
            const i = 4 * (y * c.width + x);
            if (Math.abs(d[i] - d[i + 1]) > 20 || Math.abs(d[i + 1] - d[i + 2]) > 20)
              return { x: r.left + ((x + 1) * r.width) / c.width, y: r.top + ((y + 1) * r.height) / c.height };
          }
        return null;
      });
      assert.ok(at, 'a coloured site to click');
      await page.mouse.click(at.x, at.y);
      assert.ok((await page.$$eval('#trace-list li', (l) => l.length)) > before);
    });

    // A few more frames before the pictures, so every view has drawn with the added trace.
    const drawn = Number(await page.$eval('#traces', (c) => c.dataset.frames));
    await page.waitForFunction((n) => Number(document.getElementById('traces').dataset.frames) >= n + 10, { polling: 100 }, drawn);
    fs.mkdirSync(outDir, { recursive: true });
    await page.screenshot({ path: path.join(outDir, 'monitor.png') });
    const views = await page.$$('.probe');
    for (let i = 0; i < views.length; i++) await views[i].screenshot({ path: path.join(outDir, `probe-view-${i}.png`) });
    await (await page.$('#traces-panel')).screenshot({ path: path.join(outDir, 'traces.png') });

    await step('the service\'s CPU and the page\'s frame rate are measured', async () => {
      const cpu0 = cpuSeconds(child.pid), t0 = Date.now();
      const frames0 = Number(await page.$eval('#traces', (c) => c.dataset.frames));
      await sleep(5000);
      const cpu1 = cpuSeconds(child.pid), t1 = Date.now();
      const frames1 = Number(await page.$eval('#traces', (c) => c.dataset.frames));
      const fps = ((frames1 - frames0) * 1000) / (t1 - t0);
      const withPage = (cpu1 - cpu0) / ((t1 - t0) / 1000);
      console.log(`     service CPU streaming: ${(100 * streamingCpu).toFixed(1)} % of a core without a page, ${(100 * withPage).toFixed(1)} % ` +
                  `with the page open (+${(100 * (withPage - streamingCpu)).toFixed(1)} %); page ${fps.toFixed(1)} frames/s`);
      assert.ok(frames1 > frames0, 'the page draws');  // the rate itself is a figure, not a pass mark
    });

    phase = 'recording';
    await step('a recording started and stopped from the page writes its files', async () => {
      await page.$eval('#run', (i) => { i.value = 'webtest'; });
      await page.click('#record-start');
      await page.waitForFunction(() => document.getElementById('state').dataset.state === 'recording');
      // Until every probe's file holds a tenth of a second, as the service counts it.
      await page.waitForFunction(async () => {
        const s = await (await fetch('/api/v1/status')).json();
        return s.probes.every((p) => p.live.ap.next >= 3000);
      }, { polling: 200, timeout: 30000 });
      await page.click('#record-stop');
      await page.waitForFunction(() => /Stopped/.test(document.getElementById('message').textContent));
      const files = await page.$$eval('#files li', (l) => l.map((x) => x.textContent));
      assert.ok(files.some((f) => f.endsWith('.ap.bin')), `files listed: ${files}`);
      for (const f of files) assert.ok(fs.existsSync(f), `${f} exists`);
      const bins = files.filter((f) => f.endsWith('.bin'));
      assert.ok(bins.every((f) => fs.statSync(f).size > 0), 'data in every .bin');
    });

    phase = 'refusal';
    await step('a refusal is shown', async () => {
      // A run name with a blank: readers would mistake it, so the service refuses it.
      await page.$eval('#run', (i) => { i.value = 'web test'; });
      await page.click('#record-start');
      await page.waitForFunction(() => document.getElementById('message').className === 'refusal');
      const text = await page.$eval('#message', (m) => m.textContent);
      assert.match(text, /^Refused: .*web test/);
      console.log(`     shown: ${text}`);
      await page.screenshot({ path: path.join(outDir, 'refusal.png') });
    });

    await step('no console error but the refused request\'s own', async () => {
      const unexpected = consoleErrors.filter((e) => !(e.phase === 'refusal' && /status of 4\d\d/.test(e.text)));
      assert.deepEqual(unexpected, []);
    });

    await step('a service that requires a token: the page asks for it, and works once given it', async () => {
      const token = 'monitor-test-token-0123456789';
      const guarded = await startService(dataDir, ['--require-token', '--token', token]);
      const other = await browser.newPage();
      const errors = [];
      other.on('pageerror', (e) => errors.push(`uncaught: ${e.message}`));
      other.on('console', (m) => { if (m.type() === 'error' && !/status of 401/.test(m.text())) errors.push(m.text()); });
      other.setDefaultTimeout(DEADLINE_MS);
      try {
        await other.goto(guarded.url + '/', { waitUntil: 'load' });
        await other.waitForFunction(() => document.getElementById('access').dataset.needed === 'true');
        assert.match(await other.$eval('#message', (m) => m.textContent), /token/i);
        await other.type('#token', token);
        await other.click('#token-use');
        await other.waitForSelector('body[data-ready="true"]');
        await other.click('#stream-start');
        await other.waitForFunction(() => [...document.querySelectorAll('canvas.probe-view')].every((c) => Number(c.dataset.colouredSites) > 0));
        // The event stream, read with the token, reports the change of state.
        await other.waitForFunction(() => [...document.querySelectorAll('#events li')].some((li) => /state: streaming/.test(li.textContent)));
        await other.waitForFunction(() => Number(document.getElementById('traces').dataset.frames) >= 3);
        assert.deepEqual(errors, []);
      } finally {
        await other.close();
        guarded.child.kill('SIGINT');
        await new Promise((r) => guarded.child.once('exit', r));
      }
    });
  } finally {
    await browser.close();
    child.kill('SIGINT');
    await new Promise((r) => child.once('exit', r));
    fs.rmSync(scratch, { recursive: true, force: true });
  }
  if (failures.length) {
    console.log(`${failures.length} failed: ${failures.join('; ')}`);
    process.exit(1);
  }
  console.log('all passed');
}

main().catch((e) => { console.error(e); process.exit(1); });
