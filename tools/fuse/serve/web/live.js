// The live view's page: a mirror of the fused model kept from the tool's
// WebSocket, drawn as lit points coloured by their quality grade.
//
// Messages (binary, little-endian): a 36-byte header ("KLV1", kind, frame,
// frames, frames per second, dropped second stages, count, digest, voxel
// edge), then `count` 36-byte vertex records for a model (kind 1: replaces
// the mirror) or updates (kind 2: applied in order; state 255 removes the
// point, 0 and 1 set it). Kind 3 ends the run: its count and digest are the
// final extraction's, which the mirror must match.

import * as THREE from '/three/build/three.module.js';
import { OrbitControls } from '/three/examples/jsm/controls/OrbitControls.js';

const HEADER = 36;
const RECORD = 36;
const MAGIC = 0x31564c4b; // "KLV1"
const MODEL = 1, UPDATES = 2, FINAL = 3;
const REMOVED = 255;

// The same 32-bit mix as the tool's digest, summed over the ids.
function mixViewId(id) {
  let h = (id + 0x9e3779b9) >>> 0;
  h ^= h >>> 16;
  h = Math.imul(h, 0x85ebca6b) >>> 0;
  h ^= h >>> 13;
  h = Math.imul(h, 0xc2b2ae35) >>> 0;
  h ^= h >>> 16;
  return h >>> 0;
}

// The grade the tool's preview colours by: the quality nibble of the
// point's own scan level (0 for ordinary points, 1-3 for the fine levels).
function gradeOf(scanLevel, quality) {
  const nibble = scanLevel === 16 ? 1 : scanLevel === 32 ? 2 : scanLevel === 64 ? 3 : 0;
  return (quality >>> (4 * nibble)) & 15;
}

// Points packed densely in slots, found by view id; a removal moves the last
// slot into the hole, so the first `count` slots are exactly the model.
class Mirror {
  constructor() {
    this.count = 0;
    this.capacity = 0;
    this.slotOf = new Int32Array(0); // by view id, -1 for none
    this.idAt = new Int32Array(0);
    this.position = new Float32Array(0);
    this.normal = new Float32Array(0);
    this.grade = new Float32Array(0);
    this.grown = false;
    this.lo = Infinity; // slots changed since the last upload
    this.hi = -1;
    this.reserve(1 << 16);
  }

  reserve(capacity) {
    if (capacity <= this.capacity) return;
    const grow = (old, size) => { const a = new old.constructor(size); a.set(old); return a; };
    this.idAt = grow(this.idAt, capacity);
    this.position = grow(this.position, 3 * capacity);
    this.normal = grow(this.normal, 3 * capacity);
    this.grade = grow(this.grade, capacity);
    this.capacity = capacity;
    this.grown = true;
  }

  clear() {
    this.slotOf.fill(-1);
    this.count = 0;
    this.touch(0);
  }

  touch(slot) {
    if (slot < this.lo) this.lo = slot;
    if (slot > this.hi) this.hi = slot;
  }

  set(id, f32, u8, base) {
    if (id >= this.slotOf.length) {
      const grown = new Int32Array(Math.max(id + 1, (this.slotOf.length * 3) >> 1, 1024)).fill(-1);
      grown.set(this.slotOf);
      this.slotOf = grown;
    }
    let slot = this.slotOf[id];
    if (slot < 0) {
      if (this.count === this.capacity) this.reserve(Math.ceil(this.capacity * 1.5));
      slot = this.count++;
      this.slotOf[id] = slot;
      this.idAt[slot] = id;
    }
    const w = base >> 2;
    this.position[3 * slot] = f32[w];
    this.position[3 * slot + 1] = f32[w + 1];
    this.position[3 * slot + 2] = f32[w + 2];
    this.normal[3 * slot] = f32[w + 3];
    this.normal[3 * slot + 1] = f32[w + 4];
    this.normal[3 * slot + 2] = f32[w + 5];
    this.grade[slot] = gradeOf(u8[base + 32], u8[base + 34] | (u8[base + 35] << 8));
    this.touch(slot);
  }

  remove(id) {
    if (id >= this.slotOf.length || this.slotOf[id] < 0) return; // never had it
    const slot = this.slotOf[id];
    const last = --this.count;
    if (slot !== last) {
      const moved = this.idAt[last];
      this.idAt[slot] = moved;
      this.slotOf[moved] = slot;
      this.position.copyWithin(3 * slot, 3 * last, 3 * last + 3);
      this.normal.copyWithin(3 * slot, 3 * last, 3 * last + 3);
      this.grade[slot] = this.grade[last];
      this.touch(slot);
    }
    this.slotOf[id] = -1;
  }

  digest() {
    let sum = 0;
    for (let s = 0; s < this.count; ++s) sum = (sum + mixViewId(this.idAt[s])) >>> 0;
    return sum;
  }
}

// ---- what the page shows -------------------------------------------------

const mirror = new Mirror();
const info = {
  connected: false, frame: 0, frames: 0, fps: 0, dropped: 0, resolution: 0.5,
  modelFrame: -1, finished: false, extracted: -1, extractedDigest: 0, models: 0, batches: 0,
  records: 0, badMessages: 0, drawn: 0, renders: 0, applyMs: 0, renderMs: 0,
};

const view = document.getElementById('view');
const statusLine = document.getElementById('status');
const renderer = new THREE.WebGLRenderer({ antialias: false });
renderer.setPixelRatio(window.devicePixelRatio || 1);
renderer.setClearColor(new THREE.Color(30 / 255, 34 / 255, 42 / 255)); // the preview's background
view.appendChild(renderer.domElement);

const scene = new THREE.Scene();
const camera = new THREE.PerspectiveCamera(35, 1, 0.1, 1e5);
camera.up.set(0, 0, 1); // the scans stand on z, as in the preview
camera.position.set(100, -170, 100);
const controls = new OrbitControls(camera, renderer.domElement);
controls.enableDamping = false;
let userMoved = false;
controls.addEventListener('start', () => { userMoved = true; });
controls.addEventListener('change', () => { needsRender = true; });
renderer.domElement.addEventListener('dblclick', () => { userMoved = false; frameModel(true); });

// Unlit colour of a grade and the headlight of the tool's preview: from over
// the viewer's left shoulder, a quarter ambient.
const material = new THREE.ShaderMaterial({
  uniforms: { pointSize: { value: 0.5 }, pixelsPerUnit: { value: 800 } },
  vertexShader: `
    attribute float grade;
    uniform float pointSize;
    uniform float pixelsPerUnit;
    varying vec3 colour;
    vec3 gradeColour(float g) {
      float t = clamp(g, 0.0, 15.0) / 15.0;
      vec3 low = vec3(0.86, 0.24, 0.20), mid = vec3(0.92, 0.80, 0.24), high = vec3(0.27, 0.76, 0.36);
      return t < 0.5 ? mix(low, mid, t * 2.0) : mix(mid, high, (t - 0.5) * 2.0);
    }
    void main() {
      vec4 at = modelViewMatrix * vec4(position, 1.0);
      gl_Position = projectionMatrix * at;
      gl_PointSize = max(1.5, pointSize * pixelsPerUnit / max(-at.z, 1e-3));
      float lambert = 0.5;
      if (dot(normal, normal) > 0.0) {
        vec3 light = normalize(vec3(-0.30, 0.45, 1.0));
        lambert = abs(dot(normalize(normalMatrix * normal), light));
      }
      colour = min(gradeColour(grade) * (0.22 + 0.78 * lambert), vec3(1.0));
    }`,
  fragmentShader: `
    varying vec3 colour;
    void main() {
      vec2 c = gl_PointCoord - vec2(0.5);
      if (dot(c, c) > 0.25) discard;
      gl_FragColor = vec4(colour, 1.0);
    }`,
});

let points = null;
let needsRender = true;

// A new geometry whenever the mirror's arrays grew: buffers keep their size.
function rebuildGeometry() {
  const geometry = new THREE.BufferGeometry();
  geometry.setAttribute('position', new THREE.BufferAttribute(mirror.position, 3).setUsage(THREE.DynamicDrawUsage));
  geometry.setAttribute('normal', new THREE.BufferAttribute(mirror.normal, 3).setUsage(THREE.DynamicDrawUsage));
  geometry.setAttribute('grade', new THREE.BufferAttribute(mirror.grade, 1).setUsage(THREE.DynamicDrawUsage));
  if (points) {
    points.geometry.dispose();
    points.geometry = geometry;
  } else {
    points = new THREE.Points(geometry, material);
    points.frustumCulled = false; // the model grows; no stale bounds
    scene.add(points);
  }
  mirror.grown = false;
  mirror.lo = Infinity;
  mirror.hi = -1;
}

function uploadChanges() {
  if (!points || mirror.grown) rebuildGeometry();
  else if (mirror.hi >= mirror.lo) {
    const geometry = points.geometry;
    for (const name of ['position', 'normal', 'grade']) {
      const attribute = geometry.getAttribute(name);
      attribute.updateRange.offset = mirror.lo * attribute.itemSize;
      attribute.updateRange.count = (mirror.hi - mirror.lo + 1) * attribute.itemSize;
      attribute.needsUpdate = true;
    }
    mirror.lo = Infinity;
    mirror.hi = -1;
  }
  points.geometry.setDrawRange(0, mirror.count);
}

// ---- framing, as the preview's automatic view ------------------------------

let framedRadius = 0;
const framedCentre = new THREE.Vector3();

// The bounding sphere about the box's centre, as the preview frames it.
function bounds() {
  const p = mirror.position, end = 3 * mirror.count;
  const lo = [Infinity, Infinity, Infinity], hi = [-Infinity, -Infinity, -Infinity];
  for (let i = 0; i < end; i += 3) {
    for (let k = 0; k < 3; ++k) {
      const v = p[i + k];
      if (v < lo[k]) lo[k] = v;
      if (v > hi[k]) hi[k] = v;
    }
  }
  const centre = new THREE.Vector3((lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2);
  let squared = 0;
  for (let i = 0; i < end; i += 3) {
    const dx = p[i] - centre.x, dy = p[i + 1] - centre.y, dz = p[i + 2] - centre.z;
    squared = Math.max(squared, dx * dx + dy * dy + dz * dz);
  }
  return { centre, radius: Math.sqrt(squared) };
}

// The side most normals face, from 20-60 degrees up; else a fixed
// three-quarter view.
function viewDirection() {
  const n = mirror.normal;
  let x = 0, y = 0, z = 0, used = 0;
  for (let i = 0; i < 3 * mirror.count; i += 3) {
    const len = Math.hypot(n[i], n[i + 1], n[i + 2]);
    if (!(len > 0)) continue;
    x += n[i] / len; y += n[i + 1] / len; z += n[i + 2] / len; ++used;
  }
  const degrees = Math.PI / 180;
  let azimuth = -60, elevation = 25;
  const agreement = Math.hypot(x, y, z);
  if (used > 0 && agreement > 0.15 * used) {
    x /= agreement; y /= agreement; z /= agreement;
    if (Math.hypot(x, y) > 0.25) azimuth = Math.atan2(y, x) / degrees;
    elevation = Math.min(60, Math.max(20, Math.asin(Math.max(-1, Math.min(1, z))) / degrees));
  }
  const a = azimuth * degrees, e = elevation * degrees;
  return new THREE.Vector3(Math.cos(e) * Math.cos(a), Math.cos(e) * Math.sin(a), Math.sin(e));
}

function frameModel(force) {
  if (mirror.count === 0 || (userMoved && !force)) return;
  const { centre, radius } = bounds();
  if (!(radius > 0) || !isFinite(radius)) return;
  const grewOut = radius > framedRadius * 1.15 || centre.distanceTo(framedCentre) > 0.15 * framedRadius;
  if (!force && !grewOut) return;
  framedRadius = radius;
  framedCentre.copy(centre);
  const distance = (radius * 1.08) / Math.sin((camera.fov * Math.PI) / 360) / Math.min(1, camera.aspect);
  camera.position.copy(centre).addScaledVector(viewDirection(), distance);
  camera.near = distance / 100;
  camera.far = distance * 10;
  camera.updateProjectionMatrix();
  controls.target.copy(centre);
  controls.update();
  needsRender = true;
}

function resize() {
  const width = view.clientWidth || window.innerWidth, height = view.clientHeight || window.innerHeight;
  renderer.setSize(width, height);
  camera.aspect = width / height;
  camera.updateProjectionMatrix();
  const buffer = renderer.getDrawingBufferSize(new THREE.Vector2());
  material.uniforms.pixelsPerUnit.value = buffer.y / (2 * Math.tan((camera.fov * Math.PI) / 360));
  needsRender = true;
}
window.addEventListener('resize', resize);
resize();

// ---- the stream ----------------------------------------------------------

function apply(buffer) {
  if (buffer.byteLength < HEADER) { ++info.badMessages; return; }
  const head = new DataView(buffer, 0, HEADER);
  const kind = head.getUint32(4, true), count = head.getUint32(24, true);
  if (head.getUint32(0, true) !== MAGIC ||
      buffer.byteLength !== HEADER + (kind === FINAL ? 0 : count * RECORD)) {
    ++info.badMessages;
    return;
  }
  info.frame = head.getInt32(8, true);
  info.frames = head.getInt32(12, true);
  info.fps = head.getFloat32(16, true);
  info.dropped = head.getInt32(20, true);
  const resolution = head.getFloat32(32, true);
  if (resolution > 0) {
    info.resolution = resolution;
    material.uniforms.pointSize.value = 1.5 * resolution;
  }
  if (kind === FINAL) {
    info.finished = true;
    info.extracted = count;
    info.extractedDigest = head.getUint32(28, true);
    needsRender = true;
    return;
  }
  if (kind === MODEL) {
    mirror.clear();
    ++info.models;
    info.modelFrame = info.frame;
    info.finished = false;
  } else if (kind === UPDATES) {
    ++info.batches;
  } else {
    ++info.badMessages;
    return;
  }
  // Records are 4-byte aligned after the 36-byte header; this page assumes
  // a little-endian machine, as every browser platform is.
  const f32 = new Float32Array(buffer, HEADER, count * 9);
  const i32 = new Int32Array(buffer, HEADER, count * 9);
  const u8 = new Uint8Array(buffer, HEADER);
  for (let r = 0; r < count; ++r) {
    const id = i32[9 * r + 6];
    if (id < 0) continue;
    if (u8[RECORD * r + 28] === REMOVED) mirror.remove(id);
    else mirror.set(id, f32, u8, RECORD * r);
  }
  info.records += count;
  needsRender = true;
}

let socket = null;
let retry = null;

function connect() {
  retry = null;
  const url = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/live';
  const ws = new WebSocket(url);
  ws.binaryType = 'arraybuffer';
  socket = ws;
  ws.onopen = () => { info.connected = true; needsRender = true; };
  ws.onmessage = (event) => {
    if (ws !== socket) return;
    const start = performance.now();
    apply(event.data);
    info.applyMs += performance.now() - start;
  };
  ws.onclose = () => {
    if (ws !== socket) return;
    info.connected = false;
    needsRender = true;
    if (!retry) retry = setTimeout(connect, 500);
  };
}
connect();

// ---- the status line and the drawing loop --------------------------------

const number = new Intl.NumberFormat('en-US');

function statusText() {
  if (!info.connected && info.models === 0) return 'connecting…';
  const frame = info.frames > 0 ? `frame ${info.frame} of ${info.frames}` : `frame ${info.frame}`;
  const parts = [frame, `${number.format(mirror.count)} live points`, `${info.fps.toFixed(1)} frames/s`,
    `${number.format(info.dropped)} second stages dropped`];
  if (!info.connected) parts.push('connection lost, reconnecting…');
  else if (info.models === 0) parts.push('waiting for the model…');
  else if (info.finished) {
    const same = info.extracted === mirror.count && info.extractedDigest === mirror.digest();
    parts.push(same ? 'scan finished, same points as the final extraction'
      : `scan finished, the final extraction has ${number.format(info.extracted)} points`);
  }
  return parts.join(' · ');
}

let lastStatus = 0;
function loop(now) {
  requestAnimationFrame(loop);
  if (needsRender) {
    const start = performance.now();
    uploadChanges();
    frameModel(false);
    renderer.render(scene, camera);
    info.drawn = renderer.info.render.points;
    ++info.renders;
    needsRender = false;
    info.renderMs += performance.now() - start;
  }
  if (now - lastStatus > 200) {
    lastStatus = now;
    const text = statusText();
    if (statusLine.textContent !== text) statusLine.textContent = text;
    statusLine.classList.toggle('problem', !info.connected ||
      (info.finished && info.extracted !== mirror.count));
  }
}
requestAnimationFrame(loop);

// What a test (or a curious user in the console) can read and do.
window.kelvaneLive = {
  state: () => ({ ...info, live: mirror.count, digest: mirror.digest(), status: statusText() }),
  reconnect: () => { if (socket) socket.close(); },
};
