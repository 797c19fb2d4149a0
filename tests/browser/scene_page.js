// Drives the live scene page of `pmxexport view` in headless Chromium as a person would: the
// triangulation lines switched on and off in polygon mode, the options dialog, the PMX edge
// switch, the morph mixer and a morph object's slider, undo and redo, Save and Export. Screenshots go to --out.
//
//   node scene_page.js --app PMXEXPORT --out DIR --scene SCENE.json --scene-out OUT.json
//
// Prints one JSON report line (what was seen at each step) and exits 1 when a step failed.
'use strict';
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

function parseArgs(argv) {
  const a = {};
  for (let i = 0; i < argv.length; i += 2) a[argv[i].replace(/^--/, '')] = argv[i + 1];
  for (const k of ['app', 'out', 'scene', 'scene-out']) {
    if (!a[k]) {
      process.stderr.write('usage: node scene_page.js --app PMXEXPORT --out DIR --scene SCENE --scene-out FILE\n');
      process.exit(2);
    }
  }
  return a;
}

function startViewer(app, args) {
  return new Promise((resolve, reject) => {
    const child = spawn(app, ['view', ...args, '--port', '0', '--no-open'], { stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '', err = '';
    const timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error('view did not start: ' + err)); }, 20000);
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/(http:\/\/127\.0\.0\.1:\d+\/\S*)/);
      if (m) { clearTimeout(timer); resolve({ child, url: m[1] }); }
    });
    child.stderr.on('data', (d) => { err += d; });
    child.on('exit', (code) => { clearTimeout(timer); reject(new Error(`view exited with ${code}: ${err}`)); });
  });
}

// Pixels of the page's canvas: how many are near `rgb`, or how many differ from the last
// remembered picture.
async function countNear(page, rgb, tolerance = 14) {
  return page.evaluate(([rgb, tol]) => {
    const c = document.querySelector('#view canvas');
    const t = document.createElement('canvas');
    t.width = c.width; t.height = c.height;
    const g = t.getContext('2d');
    g.drawImage(c, 0, 0);
    const d = g.getImageData(0, 0, t.width, t.height).data;
    let n = 0;
    for (let i = 0; i < d.length; i += 4) {
      if (Math.abs(d[i] - rgb[0]) <= tol && Math.abs(d[i + 1] - rgb[1]) <= tol && Math.abs(d[i + 2] - rgb[2]) <= tol) n++;
    }
    return n;
  }, [rgb, tolerance]);
}

async function changedSinceLast(page) {
  return page.evaluate(() => {
    const c = document.querySelector('#view canvas');
    const t = document.createElement('canvas');
    t.width = c.width; t.height = c.height;
    const g = t.getContext('2d');
    g.drawImage(c, 0, 0);
    const d = g.getImageData(0, 0, t.width, t.height).data;
    const last = window.__lastPixels;
    window.__lastPixels = d;
    if (!last) return -1;
    let n = 0;
    for (let i = 0; i < d.length; i += 4) {
      if (Math.abs(d[i] - last[i]) + Math.abs(d[i + 1] - last[i + 1]) + Math.abs(d[i + 2] - last[i + 2]) > 30) n++;
    }
    return n;
  });
}

// Sets a field's value and commits it as leaving the field would, without a later blur
// committing it a second time.
function setValue(page, selector, value) {
  return page.$eval(selector, (e, v) => {
    e.value = v;
    e.dispatchEvent(new Event('change'));
  }, value);
}

// Runs `step` (a click or a change) and waits until the page has the host's answer.
async function settle(page, step) {
  const before = await page.evaluate(() => window.pmxScene.version);
  await step();
  await page.waitForFunction((v) => window.pmxScene.version > v && !window.pmxScene.busy, before,
                             { timeout: 30000 });
}

async function main() {
  const a = parseArgs(process.argv.slice(2));
  fs.mkdirSync(a.out, { recursive: true });
  const report = { steps: {}, console: [] };
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'pmx-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true, acceptDownloads: true,
    viewport: { width: 1100, height: 700 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--enable-unsafe-swiftshader', '--use-angle=swiftshader'],
  });
  let viewer = null;
  try {
    viewer = await startViewer(a.app, [a.scene, '--scene-out', a['scene-out']]);
    const page = await context.newPage();
    let refusing = false;  // the refusals asked for on purpose show in the console as well
    page.on('console', (m) => { if (m.type() === 'error' && !refusing) report.console.push(m.text()); });
    page.on('pageerror', (e) => report.console.push(String(e)));
    // The page works without a network: anything not served by the viewer is refused.
    await page.route((url) => !url.href.startsWith(viewer.url), (route) => route.abort());
    await page.goto(viewer.url);
    await page.waitForFunction(() => window.pmxScene.ready || window.pmxScene.error, null, { timeout: 60000 });
    const s = report.steps;
    s.opened = await page.evaluate(() => ({ ...window.pmxScene }));
    await page.screenshot({ path: path.join(a.out, 'scene.png') });

    // Triangulation lines: a selected polygon object in polygon mode, drawn opaque (the
    // options dialog's transparency set to 0) in their colour (0.4, 0.6, 0.8).
    const lineColor = [102, 153, 204];
    await settle(page, () => page.click('#frameAll'));
    await settle(page, () => page.click('#objects li[data-name="BodyMesh"]'));
    await settle(page, () => page.selectOption('#mode', 'polygons'));
    await settle(page, () => page.click('#cmd-1038120'));
    await settle(page, () => setValue(page, '#g-1038120-1002', '0'));
    s.linesOffBefore = await countNear(page, lineColor);
    await settle(page, () => page.click('#cmd-1038100'));
    s.linesOn = { pixels: await countNear(page, lineColor),
                  overlay: await page.evaluate(() => window.pmxScene.overlay),
                  switchState: await page.getAttribute('#cmd-1038100', 'title'),
                  dialogBox: await page.isChecked('#g-1038120-1000') };
    await page.screenshot({ path: path.join(a.out, 'lines_on.png') });
    // The PMX edge shells as well, for the picture with every aid on.
    await settle(page, () => page.click('#cmd-1038154'));
    s.edges = await page.evaluate(() => window.pmxScene.overlay);
    await page.screenshot({ path: path.join(a.out, 'aids_on.png') });
    await settle(page, () => page.click('#cmd-1038154'));
    await settle(page, () => page.click('#cmd-1038100'));
    s.linesOff = { pixels: await countNear(page, lineColor),
                   overlay: await page.evaluate(() => window.pmxScene.overlay),
                   dialogBox: await page.isChecked('#g-1038120-1000') };
    await page.screenshot({ path: path.join(a.out, 'lines_off.png') });

    // The morph mixer's slider of the mouth-open target changes the face.
    await page.evaluate(() => window.pmxScene.frame('Expressions'));
    await page.waitForFunction(() => !window.pmxScene.busy);
    await settle(page, () => page.click('#cmd-1032051'));
    await changedSinceLast(page);
    await page.screenshot({ path: path.join(a.out, 'face_before.png') });
    const mixerRow = '#g-1032051-20001-2001';
    await settle(page, () => setValue(page, mixerRow, '100'));
    s.faceChanged = await changedSinceLast(page);
    const morphSliders = await page.evaluate(() =>
      [...document.querySelectorAll('#morph-Expressions input[type=number]')].map((e) => '#' + e.id));
    s.objectSliderAfterMixer = await page.inputValue(morphSliders[0]);
    await page.screenshot({ path: path.join(a.out, 'face_after.png') });
    // The morph object's own slider of the wide mouth, as the attribute manager changes it:
    // one undo step, which undo and redo take back and forth; the mixer's row follows.
    await settle(page, () => setValue(page, morphSliders[1], '100'));
    s.wideMouth = { changed: await changedSinceLast(page), mixerRow: await page.inputValue('#g-1032051-20001-2003') };
    await settle(page, () => page.click('#undo'));
    s.afterUndo = { value: await page.inputValue(morphSliders[1]), changed: await changedSinceLast(page) };
    await settle(page, () => page.click('#redo'));
    s.afterRedo = { value: await page.inputValue(morphSliders[1]), changed: await changedSinceLast(page) };
    await page.click('#save');
    await page.waitForFunction(() => /Saved/.test(document.getElementById('messages').textContent), null, { timeout: 30000 });
    s.saved = a['scene-out'];

    // What the page's API refuses, asked from the page itself: nothing a person cannot see or
    // reach changes, and the document stays as it was.
    refusing = true;
    s.refused = await page.evaluate(async () => {
      const post = async (body) => (await fetch('/api/action', {
        method: 'POST', headers: { 'Content-Type': 'application/json' },
        body: typeof body === 'string' ? body : JSON.stringify(body) })).status;
      const before = (await (await fetch('/api/state')).json()).version;
      const statuses = {
        notJson: await post('{"do": '),
        unknown: await post({ do: 'format-disk' }),
        hiddenMixerRow: await post({ do: 'gadget', dialog: 1032051, owner: 20001, gadget: 2007, value: 50 }),
        closedDialog: await post({ do: 'gadget', dialog: 4242, gadget: 1000, value: true }),
        noSuchObject: await post({ do: 'param', object: 987654321, id: 2000, value: 1 }),
        cameraWithoutAxes: await post({ do: 'camera', off: [0, 0, 0] }),
        infiniteValue: await post('{"do": "param", "object": 1, "id": 2000, "value": 1e999}'),
        noSuchMode: await post({ do: 'mode', mode: 'sculpt' }),
      };
      statuses.unchanged = (await (await fetch('/api/state')).json()).version === before;
      return statuses;
    });
    refusing = false;

    // Export: the saver's PMX as a download.
    const [download] = await Promise.all([page.waitForEvent('download', { timeout: 60000 }), page.click('#export')]);
    s.exported = path.join(a.out, download.suggestedFilename());
    await download.saveAs(s.exported);
    s.final = await page.evaluate(() => ({ ...window.pmxScene }));
    await page.close();
  } catch (e) {
    report.error = String(e && e.stack ? e.stack : e);
  } finally {
    if (viewer) viewer.child.kill('SIGTERM');
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
  process.stdout.write(JSON.stringify(report) + '\n');
  process.exit(report.error ? 1 : 0);
}

main().catch((e) => { process.stderr.write(String(e && e.stack ? e.stack : e) + '\n'); process.exit(1); });
