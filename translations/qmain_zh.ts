<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>MainWindow</name>
    <message>
        <source>MainWindow</source>
        <translation>Velmora PC 无线版</translation>
    </message>
    <message>
        <source>Camera</source>
        <translation>摄像头</translation>
    </message>
    <message>
        <source>start</source>
        <translation>开始</translation>
    </message>
    <message>
        <source>StartRecord</source>
        <translation>开始录像</translation>
    </message>
    <message>
        <source>SaveImage</source>
        <translation>保存图片</translation>
    </message>
    <message>
        <source>StartReplay</source>
        <translation>开始回放</translation>
    </message>
    <message>
        <source>Mirror</source>
        <translation>镜像</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Velmora PC wireless</source>
        <translation>Velmora PC 无线版</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>开始</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>停止</translation>
    </message>
    <message>
        <source>StartRecord</source>
        <translation>开始录像</translation>
    </message>
    <message>
        <source>StopRecord</source>
        <translation>停止录像</translation>
    </message>
    <message>
        <source>StartReplay</source>
        <translation>开始回放</translation>
    </message>
    <message>
        <source>StopReplay</source>
        <translation>停止回放</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>please connect the right wifi and try again</source>
        <translation>请连接摄像头的 Wi-Fi 后再试</translation>
    </message>
    <message>
        <source>don't have saved video</source>
        <translation>没有已保存的录像</translation>
    </message>
    <message>
        <source>playback error</source>
        <translation>回放出错</translation>
    </message>
    <message>
        <source>record error</source>
        <translation>录像出错</translation>
    </message>
    <message>
        <source>Camera lost, reconnecting...</source>
        <translation>摄像头连接中断，正在重新连接...</translation>
    </message>
    <message>
        <source>Start or stop the live picture (F5)</source>
        <translation>开始或停止实时画面（F5）</translation>
    </message>
    <message>
        <source>Start or stop recording (R)</source>
        <translation>开始或停止录像（R）</translation>
    </message>
    <message>
        <source>Save the next picture (S)</source>
        <translation>保存下一幅画面（S）</translation>
    </message>
    <message>
        <source>Replay the last recording (P)</source>
        <translation>回放最近的录像（P）</translation>
    </message>
    <message>
        <source>Mirror the picture (M)</source>
        <translation>镜像画面（M）</translation>
    </message>
    <message>
        <source>Nothing recorded: no picture came from the camera</source>
        <translation>未录到任何内容：摄像头没有传来画面</translation>
    </message>
    <message>
        <source>%1 has no video to replay</source>
        <translation>%1 中没有可回放的视频</translation>
    </message>
    <message>
        <source>The video of %1 is of a kind this copy of Velmora PC wireless cannot decode.</source>
        <translation>此 Velmora PC wireless 无法解码 %1 的视频格式。</translation>
    </message>
    <message>
        <source>%1 is missing, or it is not a video.</source>
        <translation>%1 不存在，或者不是视频文件。</translation>
    </message>
    <message>
        <source>Replay a recording</source>
        <translation>回放录像</translation>
    </message>
    <message>
        <source>Videos (*.mp4 *.m4v *.mov *.mkv *.avi);;All files (*)</source>
        <translation>视频 (*.mp4 *.m4v *.mov *.mkv *.avi);;所有文件 (*)</translation>
    </message>
    <message>
        <source>REC · starting...</source>
        <translation>录像 · 正在开始...</translation>
    </message>
    <message>
        <source>The camera&apos;s video cannot be shown</source>
        <translation>无法显示摄像头的视频</translation>
    </message>
    <message>
        <source>The camera answers and sends its video, but this copy of Velmora PC wireless has no decoder for it. Reinstall the program.</source>
        <translation>摄像头有应答并发送了视频，但此 Velmora PC wireless 缺少相应的解码器。请重新安装本程序。</translation>
    </message>
    <message>
        <source>REC %1 · %2</source>
        <translation>录像 %1 · %2</translation>
    </message>
    <message>
        <source>Saved %1</source>
        <translation>已保存 %1</translation>
    </message>
    <message>
        <source>Connecting to the camera...</source>
        <translation>正在连接摄像头...</translation>
    </message>
    <message>
        <source>This PC is not on the camera&apos;s Wi-Fi. Join the camera&apos;s Wi-Fi network, then press Start.</source>
        <translation>这台电脑没有连接到摄像头的 Wi-Fi。请先连接摄像头的 Wi-Fi 网络，再按“开始”。</translation>
    </message>
    <message>
        <source>The camera does not answer at %1. Check that it is switched on and near this PC.</source>
        <translation>摄像头 %1 没有应答。请确认摄像头已打开，并且离这台电脑不远。</translation>
    </message>
    <message>
        <source>The camera answers, but no picture arrives. A firewall may be blocking the video: allow Velmora PC wireless through it.</source>
        <translation>摄像头有应答，但收不到画面。可能是防火墙拦截了视频：请在防火墙中允许 Velmora PC wireless。</translation>
    </message>
    <message>
        <source>(Wi-Fi disconnected)</source>
        <translation>（Wi-Fi 已断开）</translation>
    </message>
    <message>
        <source>%1 pictures/s · %2 frames lost in 10 s</source>
        <translation>每秒 %1 幅画面 · 10 秒内丢失 %2 帧</translation>
    </message>
    <message>
        <source>F11 or Esc: back to the window</source>
        <translation>按 F11 或 Esc：回到窗口</translation>
    </message>
    <message>
        <source>Finishing the recording... %1 %</source>
        <translation>正在完成录像... %1 %</translation>
    </message>
    <message>
        <source>This PC is too busy to record every picture</source>
        <translation>电脑太忙，录像跳过了部分画面</translation>
    </message>
    <message>
        <source>Could not save %1</source>
        <translation>无法保存 %1</translation>
    </message>
</context>
</TS>
